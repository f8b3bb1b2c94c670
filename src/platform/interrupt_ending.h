// The last words of a run that Ctrl-C ends.
//
// While an InterruptEnding lives, Ctrl-C (SIGINT; on Windows the console's
// Ctrl-C and Ctrl-Break) ends the process at once with exit status 130, as
// the default action would, after two last lines: one to the trace, one to
// standard output (the JSON result).  The run keeps both texts up to date
// as it learns things; the moment of the interrupt fills in the times.
//
// On POSIX the lines are written from the signal handler, so they are kept
// as plain bytes in two buffers (the handler reads the one last completed)
// and written with write(2); the times come from CLOCK_MONOTONIC, the clock
// of std::chrono::steady_clock.  On Windows the console handler runs on a
// thread of its own and does the same.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

namespace platform {

class InterruptEnding {
 public:
  InterruptEnding();
  ~InterruptEnding();
  InterruptEnding(const InterruptEnding&) = delete;
  InterruptEnding& operator=(const InterruptEnding&) = delete;

  // The trace's last line: `traceDescriptor` the trace file's descriptor (-1
  // without a trace), `traceStart` when its clock began, `note` the text
  // after the time ("run ended: exit status 130, ...").
  // The result's line: `resultHead`, the seconds since `resultStart` with
  // three decimals, then `resultTail`; empty head and tail write none.
  void set(int traceDescriptor, std::chrono::steady_clock::time_point traceStart,
           const std::string& note, const std::string& resultHead,
           std::chrono::steady_clock::time_point resultStart, const std::string& resultTail);

  static constexpr int kExitStatus = 130;
};

// The descriptor under a stdio file, for the handler's writes.
int descriptorOf(std::FILE* file);

}  // namespace platform
