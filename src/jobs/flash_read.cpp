// READ mode: a flash device of the video processor read out into a file.
#include <cstdio>

#include "jobs/modes.h"
#include "link/serial_link.h"

Outcome ProgramRead(SerialLink& link, int device, const char* fileName, unsigned long byteCount) {
  (void)link;
  (void)byteCount;
  std::printf("\nReading device %d into %s is not available in this build.\n", device, fileName);
  return Outcome::Failure;
}
