// Windows side of interrupt_ending.h: a console control handler (it runs on
// a thread of its own) that writes the last lines and ends the process with
// exit status 130.
#ifdef _WIN32

#include <io.h>

#include "platform/interrupt_ending.h"
#include "platform/interrupt_ending_text.h"
#include "platform/win32.h"

namespace platform {

namespace {

void writeAll(int fd, const char* bytes, std::size_t length) {
  while (length > 0) {
    const int n = _write(fd, bytes, static_cast<unsigned>(length));
    if (n <= 0) return;
    bytes += n;
    length -= static_cast<std::size_t>(n);
  }
}

BOOL WINAPI interrupted(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  const int64_t nowNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
  if (const interrupt_text::Slot* slot = interrupt_text::current()) {
    static char line[sizeof slot->head + sizeof slot->tail + 64];
    std::size_t length = interrupt_text::traceLine(*slot, nowNs, line, sizeof line);
    if (length > 0) writeAll(slot->traceDescriptor, line, length);
    length = interrupt_text::resultLine(*slot, nowNs, line, sizeof line);
    if (length > 0) writeAll(1, line, length);
  }
  ExitProcess(InterruptEnding::kExitStatus);
  return TRUE;
}

}  // namespace

InterruptEnding::InterruptEnding() { SetConsoleCtrlHandler(interrupted, TRUE); }

InterruptEnding::~InterruptEnding() {
  SetConsoleCtrlHandler(interrupted, FALSE);
  interrupt_text::clear();
}

int descriptorOf(std::FILE* file) { return file != nullptr ? _fileno(file) : -1; }

}  // namespace platform

#endif  // _WIN32
