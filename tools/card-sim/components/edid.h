// The card's EDID store: "#EDID 1\r" or "#EDID 2\r" uploads one or two
// 128-byte blocks, "#EDID 0\r" restores the built-in default.
//
// Upload: the card answers every image byte with '.', then takes one
// checksum byte, the plain sum of the image bytes modulo 256, and answers
// '~' and 'S' when it matches (the image is stored as "edid.bin" in the
// state directory) or 'E' when it does not.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "card_context.h"
#include "options.h"
#include "session.h"

namespace cardsim {

std::unique_ptr<Session> startEdid(CardContext& card, int blocks, Wire& w);
void restoreDefaultEdid(CardContext& card, Wire& w);
std::vector<OptionSpec> edidOptions();

// The card's built-in EDID (one block), as "#EDID 0\r" stores it.
std::vector<uint8_t> defaultEdid();

}  // namespace cardsim
