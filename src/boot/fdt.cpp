#include "boot/fdt.h"

#include "jobs/modes.h"

int FDT(HANDLE, DCB, COMMTIMEOUTS, const char*) {
  modeNotAvailable("MICRO");
  return kFdtFailed;
}
