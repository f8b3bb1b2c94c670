// Boot-mode programmer of the card's SH2 microcontroller.
#pragma once

#include "platform/win32.h"

// Results of FDT.
enum FdtResult {
  kFdtFailed = 0,      // a step failed; its message has been printed
  kFdtDone = 1,        // the flash was written ("END...REBOOT THE DEVICE!")
  kFdtBootSilent = 55, // the boot program stayed silent on the first call of the run
};

int FDT(HANDLE port, DCB dcb, COMMTIMEOUTS timeouts, const char* fullPortName);
