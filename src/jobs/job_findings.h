// What a job learnt of its own run beyond its Outcome, for the run's
// result (--json): the step that failed and, when a flash device was read
// back and compared with its image, where the two differ.
#pragma once

#include <string>

#include "platform/win32.h"

// The differing words of one read-back: how many, and the byte addresses
// of the first few, in address order.
struct MismatchRecord {
  static constexpr int kListed = 8;
  unsigned long count = 0;
  DWORD first[kListed] = {};
  int listed = 0;

  void add(DWORD address) {
    if (listed < kListed) first[listed++] = address;
    ++count;
  }
};

struct JobFindings {
  // Where a job that failed stopped, when it has steps of its own:
  // "driver" (the ISP driver load), "write" (the image), "verify" (the
  // read-back after --verify, or VERIFY's comparison).  Empty: the mode as
  // a whole.
  std::string failedStep;
  bool compared = false;  // a device was read back and compared
  MismatchRecord mismatches;
};
