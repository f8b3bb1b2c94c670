// What every component of the simulated card can reach: the options it was
// started with, its persistent state, a scratch of counters that outlive a
// single session (fault schedules such as "the first N times"), and the
// injected faults of each family with their exchange counts.
#pragma once

#include <map>
#include <string>

#include "faults.h"
#include "options.h"
#include "state_dir.h"

namespace cardsim {

struct CardContext {
  CardContext(const Options& o, StateDir& s) : options(o), state(s) {}

  const Options& options;
  StateDir& state;
  std::map<std::string, long> counters;
  std::map<std::string, FaultSchedule> schedules;

  // Adds one to counter `name` and returns its new value (1 the first time).
  long count(const std::string& name) { return ++counters[name]; }

  // The faults of `family`, parsed on first use.  card-sim checks every
  // family when it starts (checkFaultOptions), so a bad option never gets
  // this far; here it is reported and ignored.
  FaultSchedule& faults(const FaultFamily& family);
};

// Parses every fault option; false with a message on the first bad one.
bool checkFaultOptions(CardContext& card, std::string* error);

}  // namespace cardsim
