#include "platform/interrupt_notice.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>

namespace platform {
namespace {

// Read by the signal handler, so kept where it can reach them: the text is
// written before the handler is installed and cleared after it is removed.
char noticeText[256];
volatile sig_atomic_t noticeLength = 0;
struct sigaction previousInt, previousTerm;

void onInterrupt(int signalNumber) {
  if (noticeLength > 0) {
    const ssize_t written = ::write(STDERR_FILENO, noticeText, static_cast<size_t>(noticeLength));
    (void)written;
  }
  // Then whatever would have met the signal without the notice: the run's
  // own ending (its trace line and JSON result, exit 130) or the default
  // action.  The signal is blocked while this handler runs, so the raised
  // one reaches the restored disposition once it returns.
  sigaction(signalNumber, signalNumber == SIGINT ? &previousInt : &previousTerm, nullptr);
  raise(signalNumber);
}

}  // namespace

InterruptNotice::InterruptNotice(const std::string& line) {
  // On a terminal the interrupt comes in the middle of a progress line.
  const std::string text = isatty(STDERR_FILENO) ? "\n" + line : line;
  const std::size_t length = text.size() < sizeof noticeText ? text.size() : sizeof noticeText - 1;
  std::memcpy(noticeText, text.data(), length);
  noticeLength = static_cast<sig_atomic_t>(length);
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &previousInt);
  sigaction(SIGTERM, &action, &previousTerm);
}

InterruptNotice::~InterruptNotice() {
  sigaction(SIGINT, &previousInt, nullptr);
  sigaction(SIGTERM, &previousTerm, nullptr);
  noticeLength = 0;
}

}  // namespace platform
