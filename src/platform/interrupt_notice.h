// A line for the operator when a run is interrupted in the middle of work
// that leaves the card half-changed: while an InterruptNotice lives, Ctrl-C
// (and on POSIX SIGTERM) first writes its text to standard error, then
// hands the signal on to what would have met it without the notice (the
// run's InterruptEnding, or the default action).  One notice at a time; the text is cut to 255 bytes.
#pragma once

#include <string>

namespace platform {

class InterruptNotice {
 public:
  explicit InterruptNotice(const std::string& text);
  ~InterruptNotice();
  InterruptNotice(const InterruptNotice&) = delete;
  InterruptNotice& operator=(const InterruptNotice&) = delete;
};

}  // namespace platform
