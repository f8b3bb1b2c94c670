// The card's FPGA programming: after "#FPGA 1\r" the microcontroller plays
// an XSVF stream into the FPGA, asking the updater for the stream's bytes.
//
// It reads the stream as it arrives and asks for exactly the bytes of the
// next instruction: '*' for a single byte (an opcode, a one-byte operand),
// '$' '$' H L for an operand block of H * 256 + L bytes.  At XCOMPLETE it
// ends with '~' 'S'; a malformed stream ends with '~' 'E', a stream that
// stops for 10 s with '~' 'T'.  The received stream is stored as
// "fpga.xsvf" in the state directory.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "card_context.h"
#include "options.h"
#include "session.h"

namespace cardsim {

std::unique_ptr<Session> startFpga(CardContext& card, Wire& w);
std::vector<OptionSpec> fpgaOptions();

// One step of a --fpga-plan: "*" a single-byte request, a number N a block
// request of N bytes, "!c" the error notice '$' c, "cut" a block request
// that stops after "$$" (the next request follows 1500 ms later), "~c" the
// end with verdict c.  False for a token that is none of these.
struct PlanStep {
  enum Kind { Single, Block, Notice, Cut, End } kind;
  unsigned long count;  // Block
  char letter;          // Notice, End
};
bool parsePlan(const std::string& text, std::vector<PlanStep>* steps, std::string* error);

}  // namespace cardsim
