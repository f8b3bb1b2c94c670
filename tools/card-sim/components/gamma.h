// The card's gamma table: "#GAMMA 3 0\r", then 3072 ten-bit values of two
// bytes each (high byte first), each acknowledged with '.', then one
// checksum byte (the sum of all value bytes modulo 256).  The card answers
// '~' and 'S' when the checksum matches and every value fits in ten bits,
// else '~' and 'E'.  An accepted table is stored in the state directory as
// "gamma.bin" (the 6144 bytes as received) and "gamma.txt" (one
// "red,green,blue" line per entry).
#pragma once

#include <memory>
#include <vector>

#include "card_context.h"
#include "options.h"
#include "session.h"

namespace cardsim {

std::unique_ptr<Session> startGamma(CardContext& card, Wire& w);
std::vector<OptionSpec> gammaOptions();

}  // namespace cardsim
