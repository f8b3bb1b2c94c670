#include "frontend/progress_report.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr char kProgressKey[] = "progress";
}  // namespace

void ProgressReport::progressed(double percent) {
  if (!std::isfinite(percent)) return;
  // The filler bytes of a last block, and the boot programmer's offsets,
  // take a line a little past either end.
  percent = std::clamp(percent, 0.0, 100.0);
  const long whole = static_cast<long>(std::floor(percent));
  if (lastWhole_ == whole) return;
  lastWhole_ = whole;
  Json line = Json::object();
  line[kProgressKey] = std::round(percent * 100) / 100;
  send_(jsonText(line));
}

std::optional<double> ProgressReport::percentOf(const Json& report) {
  const auto it = report.find(kProgressKey);
  if (it == report.end() || !it->is_number()) return std::nullopt;
  return it->get<double>();
}
