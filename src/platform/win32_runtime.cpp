// Windows side of the platform layer: everything is the real API; only the
// command interpreter's PAUSE needs a name of its own.
#ifdef _WIN32

#include <cstdlib>
#include <cstring>

#include "platform/win32.h"

void runPause() { std::system("PAUSE"); }

namespace {

using PeriodCall = UINT(WINAPI*)(UINT);
constexpr UINT kPeriodMs = 1;

PeriodCall periodCall(void* library, const char* name) {
  // Through void(*)(), the one function type that converts to any other
  // without a warning.
  return reinterpret_cast<PeriodCall>(
      reinterpret_cast<void (*)()>(GetProcAddress(static_cast<HMODULE>(library), name)));
}

}  // namespace

FineTimer::FineTimer() {
  char path[MAX_PATH];
  const UINT length = GetSystemDirectoryA(path, MAX_PATH);
  if (length == 0 || length + sizeof "\\winmm.dll" > sizeof path) return;
  std::strcat(path, "\\winmm.dll");
  library_ = LoadLibraryA(path);
  if (library_ == nullptr) return;
  const PeriodCall begin = periodCall(library_, "timeBeginPeriod");
  granted_ = begin != nullptr && begin(kPeriodMs) == 0;  // TIMERR_NOERROR
  if (!granted_) {
    FreeLibrary(static_cast<HMODULE>(library_));
    library_ = nullptr;
  }
}

FineTimer::~FineTimer() {
  if (library_ == nullptr) return;
  if (const PeriodCall end = periodCall(library_, "timeEndPeriod")) end(kPeriodMs);
  FreeLibrary(static_cast<HMODULE>(library_));
}

#endif  // _WIN32
