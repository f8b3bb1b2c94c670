#include <cstdio>

#include "jobs/modes.h"

Outcome modeNotAvailable(const char* keyword) {
  std::printf("\nMode %s is not available in this build of the updater.\n", keyword);
  return Outcome::Failure;
}
