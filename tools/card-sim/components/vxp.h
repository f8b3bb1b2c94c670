// The card's VXP video processor: its ISP service, reached through "=G"
// frames, and the soft reset that the microcontroller applies to it on the
// micro commands "=MP\r", "=MR\r", "=MA\r", "=ME\r".
#pragma once

#include <cstdint>
#include <vector>

#include "card_context.h"
#include "options.h"
#include "wire.h"

namespace cardsim {

class Vxp {
 public:
  explicit Vxp(CardContext& card);
  ~Vxp();

  // The bytes between "=G" and the closing CR of one frame.
  void onFrame(const std::vector<uint8_t>& encoded, Wire& w);
  // The letter of a micro command "=M?\r".
  void onMicroCommand(char letter, Wire& w);

 private:
  CardContext& card_;
};

std::vector<OptionSpec> vxpOptions();

}  // namespace cardsim
