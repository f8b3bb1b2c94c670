// The texts an InterruptEnding keeps ready, in fixed buffers that a signal
// handler may read (no allocation, no locks), and their formatting with the
// time filled in.  Shared by the POSIX and the Windows side.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {
namespace interrupt_text {

struct Slot {
  int traceDescriptor = -1;
  int64_t traceStartNs = 0;
  int64_t resultStartNs = 0;
  std::size_t noteLength = 0, headLength = 0, tailLength = 0;
  char note[1024];
  char head[6144];
  char tail[2048];
};

// Fills the slot the handler does not read and makes it the one it reads.
void publish(int traceDescriptor, std::chrono::steady_clock::time_point traceStart,
             const std::string& note, const std::string& resultHead,
             std::chrono::steady_clock::time_point resultStart, const std::string& resultTail);
void clear();

// The slot to write from, or nullptr when none is set.
const Slot* current();

// Writes "%10.3f  # NOTE\n" (the time in ms since the trace began) into
// `out` and "\nHEAD%.3fTAIL\n" (seconds since the run began) into `result`,
// for the monotonic time `nowNs`.  Return the lengths; 0 for nothing to
// write.
std::size_t traceLine(const Slot& slot, int64_t nowNs, char* out, std::size_t capacity);
std::size_t resultLine(const Slot& slot, int64_t nowNs, char* out, std::size_t capacity);

}  // namespace interrupt_text
}  // namespace platform
