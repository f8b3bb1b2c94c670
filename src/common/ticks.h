// Millisecond deadlines on the 32-bit tick counter.
//
// The counter wraps every 49.7 days.  A deadline is the tick count at which a
// wait ends; it has passed when the signed distance from it is positive, a
// test that stays right across the wrap (an unsigned `now > start + length`
// would end every wait at once when the sum wraps).
#pragma once

#include <cstdint>

#include "platform/win32.h"

inline DWORD deadlineIn(DWORD ms) { return static_cast<DWORD>(GetTickCount() + ms); }

inline bool tickPassed(DWORD now, DWORD deadline) {
  return static_cast<int32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(deadline)) > 0;
}

inline bool deadlinePassed(DWORD deadline) { return tickPassed(GetTickCount(), deadline); }
