#include "components/edid.h"

namespace cardsim {

std::unique_ptr<Session> startEdid(CardContext&, int, Wire& w) {
  w.note("EDID upload is not simulated");
  return nullptr;
}

void restoreDefaultEdid(CardContext&, Wire& w) { w.note("EDID default is not simulated"); }

std::vector<OptionSpec> edidOptions() { return {}; }

}  // namespace cardsim
