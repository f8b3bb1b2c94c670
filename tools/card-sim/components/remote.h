// Card commands played from a script: every command the firmware does not
// handle itself is acknowledged ("#ACK\r") or refused ("#NACK\r") by rule,
// and a lone carriage return is answered with one byte.
#pragma once

#include <string>
#include <vector>

#include "card_context.h"
#include "options.h"
#include "wire.h"

namespace cardsim {

// `line` is the command without its '#' and CR ("X 1").
void answerCommand(CardContext& card, const std::string& line, Wire& w);
void answerLoneCarriageReturn(CardContext& card, Wire& w);
std::vector<OptionSpec> remoteOptions();

}  // namespace cardsim
