// Boot-mode programmer of the card's SH2 microcontroller.
#pragma once

class SerialLink;

// How FDT ended.
enum class FdtResult {
  kFailed,      // a step failed; its message has been printed
  kDone,        // the flash was written ("END...REBOOT THE DEVICE!")
  kBootSilent,  // the boot program stayed silent on the first call of the run
};

// Programs the microcontroller through its boot program on `link`, which
// the caller has set to 9600 bit/s.  `bootMetSilentBefore` says whether an
// earlier call of this run met the boot program silent (then a silence is a
// failure, not kBootSilent).
FdtResult FDT(SerialLink& link, bool bootMetSilentBefore = false);
