// Card commands played from a script: every command the firmware does not
// handle itself is acknowledged ("#ACK\r") or refused ("#NACK\r") by rule,
// and a lone carriage return is answered with one byte (the prompt '>').
//
// The rule goes by the command's first word: words named with
// --remote-silent get no answer, words named with --remote-nack are
// refused; when --remote-known names words, only those are acknowledged,
// otherwise every other command is.  Each answered command is appended to
// "remote.log" in the state directory ("ACK X 1" / "NACK Y").
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
