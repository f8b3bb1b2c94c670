// The SH2 microcontroller's boot program and the kernels it loads, which
// take the line over to reflash the microcontroller.
#pragma once

#include <memory>
#include <vector>

#include "card_context.h"
#include "options.h"
#include "session.h"

namespace cardsim {

enum class BootEntry {
  MicroCommand,    // "#MICROMODE\r" then "#MICRO\r" to a running firmware
  OldFirmwareKey,  // the old firmware's key sequence CR '1' '$' '6'
  PowerOn,         // the card starts in boot mode (--boot-mode, or no complete application)
};

std::unique_ptr<Session> startBootProgram(CardContext& card, BootEntry entry, Wire& w);
std::vector<OptionSpec> bootOptions();

// True when the microcontroller's flash holds no complete application, so
// that the card powers on in its boot program: micro_flash.bin all erased,
// or a programmed block whose acknowledgement never went out.
bool startsInBootProgram(const StateDir& state);

}  // namespace cardsim
