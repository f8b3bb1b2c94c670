// What the POSIX files of the platform layer share among themselves: the
// calling thread's last error, the installed test hooks, the monotonic
// clock, and the two kinds of device behind a HANDLE.  Only the platform
// layer includes this.
#pragma once
#ifndef _WIN32

#include <cstdint>

#include "platform/posix_device.h"

namespace platform {

extern thread_local DWORD lastError;
extern Hooks* hooks;

void fail(DWORD code);
void failErrno(int err);

// Milliseconds on the monotonic clock.
uint64_t monotonicMs();

// A plain file opened through CreateFileA, taking over `fd`.
Device* newFileDevice(int fd);
// A serial line on the tty `fd` (non-blocking), taken over; the driver is
// asked for low latency.
Device* newTtyDevice(int fd);

}  // namespace platform

#endif  // !_WIN32
