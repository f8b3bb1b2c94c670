// Boot-mode programmer of the card's SH2 microcontroller.
#pragma once

class SerialLink;

// Results of FDT.
enum FdtResult {
  kFdtFailed = 0,      // a step failed; its message has been printed
  kFdtDone = 1,        // the flash was written ("END...REBOOT THE DEVICE!")
  kFdtBootSilent = 55, // the boot program stayed silent on the first call of the run
};

// Programs the microcontroller through its boot program on `link`, which
// the caller has set to 9600 bit/s.  `bootMetSilentBefore` says whether an
// earlier call of this run met the boot program silent (then a silence is a
// failure, not kFdtBootSilent).
int FDT(SerialLink& link, bool bootMetSilentBefore = false);
