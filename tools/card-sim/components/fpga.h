// The card's FPGA programming: after "#FPGA 1\r" the microcontroller plays
// an XSVF stream into the FPGA, asking the updater for the stream's bytes.
#pragma once

#include <memory>
#include <vector>

#include "card_context.h"
#include "options.h"
#include "session.h"

namespace cardsim {

std::unique_ptr<Session> startFpga(CardContext& card, Wire& w);
std::vector<OptionSpec> fpgaOptions();

}  // namespace cardsim
