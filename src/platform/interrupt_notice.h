// A line for the operator when a run is interrupted in the middle of work
// that leaves the card half-changed: while an InterruptNotice lives, Ctrl-C
// (and on POSIX SIGTERM) first writes its text to standard error, then ends
// the process as the interrupt would have without it (status 130 after
// Ctrl-C in a shell).  One notice at a time; the text is cut to 255 bytes.
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
