#include "jobs/card_bytes.h"

#include "common/ticks.h"
#include "link/serial_port.h"

int awaitCardByte(unsigned char a, unsigned char b, DWORD deadline) {
  for (;;) {
    unsigned char c = 0;
    lnumbytes = 0;
    if (ReadFile(lport, &c, 1, &lnumbytes, nullptr) && lnumbytes == 1 && (c == a || c == b))
      return c;
    if (deadlinePassed(deadline)) return 0;
  }
}

bool drainLine(DWORD deadline) {
  for (;;) {
    lnumbytes = 0;
    if (!ReadFile(lport, buffer, 2048, &lnumbytes, nullptr) || lnumbytes == 0) return true;
    if (deadlinePassed(deadline)) return false;
  }
}
