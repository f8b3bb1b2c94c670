// Running the children of a run over several ports and collecting what
// each of them learned and how it ended.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "frontend/fleet.h"

namespace fleet {

// What the children of a run left behind.
struct ChildrenOutcome {
  int interruptStatus = 0;  // 0 when no interrupt came
  std::vector<PortResult> results;
  std::vector<int> statuses;
  std::string json;  // the array of the children's result objects
};

// Starts one child per port, `program` with childArguments(), shows their
// output and waits until all have ended.
ChildrenOutcome runChildren(const std::vector<std::string>& ports, bool redraw, int columns,
                            const std::string& program, const std::vector<std::string>& args,
                            const std::vector<std::size_t>& positional);

}  // namespace fleet
