// What every component of the simulated card can reach: the options it was
// started with, its persistent state, and a scratch of counters that
// outlive a single session (fault schedules such as "the first N times").
#pragma once

#include <map>
#include <string>

#include "options.h"
#include "state_dir.h"

namespace cardsim {

struct CardContext {
  const Options& options;
  StateDir& state;
  std::map<std::string, long> counters;

  // Adds one to counter `name` and returns its new value (1 the first time).
  long count(const std::string& name) { return ++counters[name]; }
};

}  // namespace cardsim
