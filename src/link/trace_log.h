// The trace of a run (--trace FILE): every byte on the line both ways, and a
// note per protocol step, one line each, in the layout of card-sim's
// exchange log so that the two can be laid side by side:
//
//      12.345 <  23 44 45 56 45 52 53 49 4F 4E 0D   (updater to card)
//      12.401  > 23 44 45 56 45 52 53 49 4F 4E 20   (card to updater)
//      12.402  # card command #DEVERSION            (a step of the run)
//
// The time is in milliseconds since the trace was opened; a chunk of more
// than 32 bytes takes several lines, and a chunk that passed at a bit rate
// other than 115200 ends its first line with "   @9600".  Every line is
// flushed as it is written, so a run that crashes or is interrupted leaves
// its trace up to the last byte that passed.
//
// The trace is owned by the run and handed to the link; the link writes the
// bytes, the protocol units add notes through the link.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>

#include "common/scoped_file.h"

class TraceLog {
 public:
  TraceLog();
  TraceLog(const TraceLog&) = delete;
  TraceLog& operator=(const TraceLog&) = delete;

  // The first line of every trace, so that a file can be recognised as one.
  static const char* signature() { return "updater trace"; }
  // Whether `path` may be made a trace: it does not exist, is not a regular
  // file (a pipe, a terminal), is empty or begins like a trace.  False with
  // `*error` set otherwise.
  static bool mayReplace(const std::string& path, std::string* error);

  // Creates `path` (replacing an earlier trace) and restarts the clock.
  // False, with `*error` set to the reason, when the file cannot be created
  // or already holds something other than a trace: a path typed by mistake
  // must not destroy an image (`--trace Device5.bin`).
  bool open(const std::string& path, std::string* error);
  bool isOpen() const { return file_.isOpen(); }
  // The open file (nullptr when none) and when its clock began, for the
  // last line that Ctrl-C leaves.
  std::FILE* file() const { return file_.get(); }
  std::chrono::steady_clock::time_point started() const { return start_; }

  // `count` bytes that passed: from the updater to the card when
  // `fromUpdater`, else from the card.  `baud` is the line's bit rate.
  void bytes(bool fromUpdater, const void* data, std::size_t count, unsigned long baud);
  void note(const char* text);
  void note(const std::string& text) { note(text.c_str()); }

 private:
  double elapsedMs() const;

  ScopedFile file_;
  std::chrono::steady_clock::time_point start_;
};

// `label`, a blank and `length` bytes of card text with a final carriage
// return left out and other control bytes shown as \r, \n or \xNN: "card
// command #DEVTYPE".
std::string traceText(const char* label, const void* text, std::size_t length);
