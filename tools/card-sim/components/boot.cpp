#include "components/boot.h"

namespace cardsim {

std::unique_ptr<Session> startBootProgram(CardContext&, BootEntry, Wire& w) {
  w.note("boot program is not simulated");
  return nullptr;
}

std::vector<OptionSpec> bootOptions() { return {}; }

}  // namespace cardsim
