#include "card_context.h"

#include <cstdio>

namespace cardsim {

FaultSchedule& CardContext::faults(const FaultFamily& family) {
  auto found = schedules.find(family.option);
  if (found != schedules.end()) return found->second;
  FaultSchedule& s = schedules.emplace(family.option, FaultSchedule(family)).first->second;
  std::string error;
  if (!s.load(options, &error)) {
    std::fprintf(stderr, "card-sim: %s (ignored)\n", error.c_str());
    s = FaultSchedule(family);
  }
  return s;
}

bool checkFaultOptions(CardContext& card, std::string* error) {
  for (const FaultFamily* family :
       {&vxpFaultFamily(), &microFaultFamily(), &channelFaultFamily(), &bootFaultFamily()}) {
    FaultSchedule s(*family);
    if (!s.load(card.options, error)) return false;
  }
  return true;
}

}  // namespace cardsim
