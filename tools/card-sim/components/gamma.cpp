#include "components/gamma.h"

namespace cardsim {

std::unique_ptr<Session> startGamma(CardContext&, Wire& w) {
  w.note("gamma upload is not simulated");
  return nullptr;
}

std::vector<OptionSpec> gammaOptions() { return {}; }

}  // namespace cardsim
