#include "jobs/modes.h"

int verify(const char*, int, unsigned long*) {
  modeNotAvailable("VERIFY");
  return -1;
}
