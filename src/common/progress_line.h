// The progress line of a long job: a carriage return, then "Job at 42.00 %",
// so that each print overwrites the one before.  Each job ends the line in
// its own way after "\rJob at 100".
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

constexpr const char* kProgressComplete = "\rJob at 100";

// "\rJob at 42.00 %" for `percent`, for a job that adds to the line.
inline std::string progressLine(double percent) {
  char text[48];
  std::snprintf(text, sizeof text, "\rJob at %0.2f %%", percent);
  return text;
}

// Prints `lead` (what goes before the carriage return) and the line.
inline void printProgress(double percent, const char* lead = "") {
  std::printf("%s%s", lead, progressLine(percent).c_str());
}

// Prints "\rJob at 100" and the job's own `tail`.
inline void printProgressComplete(const char* tail) {
  std::printf("%s%s", kProgressComplete, tail);
}

// When a line is due: a job of `span` units (bytes, addresses) shows about
// 5000 lines at most, so that the console keeps up with the line.
class ProgressPace {
 public:
  void restart() { lines_ = 0; }
  // True, and the line counted, when `position` has passed the next step.
  bool due(int64_t position, int64_t span) {
    if (span / kMaxLines * lines_ >= position) return false;
    ++lines_;
    return true;
  }

 private:
  static constexpr int64_t kMaxLines = 5000;
  int64_t lines_ = 0;
};
