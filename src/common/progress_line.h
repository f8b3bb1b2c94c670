// The progress line of a long job: a carriage return, then "Job at 42.00 %",
// so that each print overwrites the one before.  Each job ends the line in
// its own way after "\rJob at 100".  Every line printed is told to the
// run's progress sink as well (when it has one), so that a program
// watching the run learns the percentage without reading the console.
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

// Where the percentages of the progress lines go besides the console.  The
// front end may set one up; the link carries it to the jobs.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  // Called with each percentage a progress line shows: often, so cheaply.
  virtual void progressed(double percent) = 0;
};

// Prints `lead` (what goes before the carriage return) and the line, and
// tells `sink` (when not null).
inline void printProgress(ProgressSink* sink, double percent, const char* lead = "") {
  std::printf("%s%s", lead, progressLine(percent).c_str());
  if (sink != nullptr) sink->progressed(percent);
}

// Prints "\rJob at 100" and the job's own `tail`, and tells `sink`.
inline void printProgressComplete(ProgressSink* sink, const char* tail) {
  std::printf("%s%s", kProgressComplete, tail);
  if (sink != nullptr) sink->progressed(100);
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
