// The card's gamma table: "#GAMMA 3 0\r", then 3072 two-byte values.
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
