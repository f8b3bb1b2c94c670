// The card's EDID store: "#EDID 1\r" or "#EDID 2\r" uploads one or two
// 128-byte blocks, "#EDID 0\r" restores the built-in default.
#pragma once

#include <memory>
#include <vector>

#include "card_context.h"
#include "options.h"
#include "session.h"

namespace cardsim {

std::unique_ptr<Session> startEdid(CardContext& card, int blocks, Wire& w);
void restoreDefaultEdid(CardContext& card, Wire& w);
std::vector<OptionSpec> edidOptions();

}  // namespace cardsim
