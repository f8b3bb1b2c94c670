// The table that ends a run over several ports, and its exit status.
#include <algorithm>
#include <cstdio>

#include "common/printable.h"
#include "frontend/fleet.h"
#include "frontend/run_report.h"
#include "frontend/startup.h"

namespace fleet {

std::string outcomeText(const PortResult& result) {
  if (!result.started) return "not started";
  std::string text = outcomeOf(result.status);
  if (result.status == kExitOk || result.status == 130) return text;
  text += " (" + (result.how.empty() ? "exit " + std::to_string(result.status) : result.how) + ")";
  if (!result.failedStep.empty()) text += " at " + result.failedStep;
  return text;
}

std::string summaryTable(const std::vector<PortResult>& results) {
  std::vector<std::vector<std::string>> rows = {{"Port", "Card", "Firmware", "Outcome", "Time"}};
  for (const PortResult& r : results) {
    char time[32];
    std::snprintf(time, sizeof time, "%.1f s", r.seconds);
    // What the card told, through the child's JSON: shown safely.
    rows.push_back({r.port, r.card.empty() ? "-" : printable(r.card),
                    r.firmware.empty() ? "-" : printable(r.firmware),
                    outcomeText(r), time});
  }
  std::vector<std::size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows)
    for (std::size_t k = 0; k < row.size(); ++k) widths[k] = std::max(widths[k], row[k].size());
  std::string table;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t k = 0; k + 1 < row.size(); ++k) {
      line += row[k];
      line.append(widths[k] - row[k].size() + 2, ' ');
    }
    line.append(widths.back() - row.back().size(), ' ');  // times line up on the right
    line += row.back();
    table += line + "\n";
  }
  return table;
}

int fleetExitStatus(const std::vector<int>& statuses, int interruptStatus) {
  if (interruptStatus != 0) return interruptStatus;
  int highest = 0;
  for (int status : statuses) highest = std::max(highest, status);
  return highest;
}

}  // namespace fleet
