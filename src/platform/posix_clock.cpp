// The tick counter and the pauses on POSIX: the monotonic clock, or the
// virtual clock of the test hooks.  A pause only pauses: the console is
// unbuffered (main), so nothing waits in stdout for it to be written.
#ifndef _WIN32

#include "platform/posix_internal.h"

#include <cerrno>
#include <ctime>

namespace platform {

uint64_t monotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec / 1000000);
}

}  // namespace platform

DWORD GetTickCount() {
  if (platform::hooks) return platform::hooks->ticks();
  return static_cast<DWORD>(platform::monotonicMs() & 0xFFFFFFFFu);
}

void Sleep(DWORD ms) {
  if (platform::hooks) {
    platform::hooks->sleep(static_cast<uint32_t>(ms));
    return;
  }
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000L)};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

#endif  // !_WIN32
