// The process's priority class and the timer's precision on POSIX.
#ifndef _WIN32

#include "platform/posix_internal.h"

#include <cerrno>
#include <cstdint>

#include <sys/resource.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

// The high priority class, the only one the updater asks for, is nice -10.
// Raising the priority needs privileges on POSIX: without them the call
// fails with ERROR_ACCESS_DENIED and the process keeps its priority.  A run
// on the test hooks (virtual clock) has no timing to protect and leaves the
// test process as it is.
BOOL SetPriorityClass(HANDLE process, DWORD priorityClass) {
  if (process != GetCurrentProcess()) {
    platform::fail(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (priorityClass != HIGH_PRIORITY_CLASS) {
    platform::fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (platform::hooks) return TRUE;
  if (setpriority(PRIO_PROCESS, 0, -10) != 0) {
    platform::failErrno(errno);
    return FALSE;
  }
  return TRUE;
}

FineTimer::FineTimer() {
  // A run on the test hooks keeps its virtual clock and the test process
  // its slack.
  if (platform::hooks) {
    granted_ = true;
    return;
  }
#ifdef __linux__
  const int before = prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);
  if (before < 0) return;
  restore_ = static_cast<unsigned long>(before);
  granted_ = prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL) == 0;  // nanoseconds
#endif
}

FineTimer::~FineTimer() {
#ifdef __linux__
  if (granted_ && !platform::hooks) prctl(PR_SET_TIMERSLACK, restore_, 0UL, 0UL, 0UL);
#endif
}

#endif  // !_WIN32
