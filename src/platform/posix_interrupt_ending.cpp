// POSIX side of interrupt_ending.h: a SIGINT handler that writes the last
// lines with write(2) and ends with _exit(130).
#ifndef _WIN32

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include "platform/interrupt_ending.h"
#include "platform/interrupt_ending_text.h"

namespace platform {

namespace {

struct sigaction previousAction;

void writeAll(int fd, const char* bytes, std::size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd, bytes, length);
    if (n <= 0) return;  // EINTR cannot come: this is the handler
    bytes += n;
    length -= static_cast<std::size_t>(n);
  }
}

void interrupted(int) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const int64_t nowNs = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
  if (const interrupt_text::Slot* slot = interrupt_text::current()) {
    static char line[sizeof slot->head + sizeof slot->tail + 64];
    std::size_t length = interrupt_text::traceLine(*slot, nowNs, line, sizeof line);
    if (length > 0) writeAll(slot->traceDescriptor, line, length);
    length = interrupt_text::resultLine(*slot, nowNs, line, sizeof line);
    if (length > 0) writeAll(STDOUT_FILENO, line, length);
  }
  _exit(InterruptEnding::kExitStatus);
}

}  // namespace

InterruptEnding::InterruptEnding() {
  struct sigaction action {};
  action.sa_handler = interrupted;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &previousAction);
}

InterruptEnding::~InterruptEnding() {
  sigaction(SIGINT, &previousAction, nullptr);
  interrupt_text::clear();
}

int descriptorOf(std::FILE* file) { return file != nullptr ? fileno(file) : -1; }

}  // namespace platform

#endif  // !_WIN32
