// Keys on POSIX: _getch reads one key without echo and without line
// buffering, and a Ctrl-C during the wait restores the terminal first.
#ifndef _WIN32

#include "platform/posix_internal.h"

#include <cerrno>
#include <csignal>
#include <cstdio>

#include <termios.h>
#include <unistd.h>

namespace platform {
namespace {

// Terminal state saved while _getch has the keyboard in raw mode, so that a
// Ctrl-C restores it before the process ends.
termios savedTerminal;
volatile sig_atomic_t terminalRaw = 0;

struct sigaction interruptBeforeKeyWait;

void interruptedInKeyWait(int signal) {
  if (terminalRaw) tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
  // The run's own ending (its last lines) when it has one.
  const struct sigaction& before = interruptBeforeKeyWait;
  if (signal == SIGINT && !(before.sa_flags & SA_SIGINFO) && before.sa_handler != SIG_DFL &&
      before.sa_handler != SIG_IGN)
    before.sa_handler(signal);
  _exit(130);
}

int realGetch() {
  std::fflush(stdout);
  unsigned char c = 0;
  if (!isatty(STDIN_FILENO)) {
    for (;;) {
      ssize_t r = ::read(STDIN_FILENO, &c, 1);
      if (r == 1) return c;
      if (r < 0 && errno == EINTR) continue;
      return -1;  // end of input
    }
  }
  termios raw{};
  if (tcgetattr(STDIN_FILENO, &savedTerminal) != 0) return -1;
  raw = savedTerminal;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  struct sigaction sa {}, oldTerm{};
  struct sigaction& oldInt = interruptBeforeKeyWait;
  sa.sa_handler = interruptedInKeyWait;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, &oldInt);
  sigaction(SIGTERM, &sa, &oldTerm);
  terminalRaw = 1;
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  int result = -1;
  for (;;) {
    ssize_t r = ::read(STDIN_FILENO, &c, 1);
    if (r == 1) {
      result = c;
      break;
    }
    if (r < 0 && errno == EINTR) continue;
    break;
  }
  tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
  terminalRaw = 0;
  sigaction(SIGINT, &oldInt, nullptr);
  sigaction(SIGTERM, &oldTerm, nullptr);
  return result;
}

}  // namespace
}  // namespace platform

int _getch() {
  if (platform::hooks) return platform::hooks->getch();
  return platform::realGetch();
}

void runPause() {
  std::printf("Press any key to continue . . . ");
  std::fflush(stdout);
  _getch();
  std::printf("\n");
}

#endif  // !_WIN32
