// Reading a trace file (--trace) back in the tests.
#pragma once

#include <string>

namespace testsupport {

// What a trace recorded: the bytes each way, in order, and the notes.
struct Traced {
  std::string out, in;  // updater to card, card to updater
  std::string notes;    // one a line, in order
};

Traced readTrace(const std::string& path);

}  // namespace testsupport
