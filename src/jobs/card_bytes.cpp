#include "jobs/card_bytes.h"

#include <cstdio>

#include "common/ticks.h"
#include "link/serial_link.h"

int awaitCardByte(SerialLink& link, unsigned char a, unsigned char b, DWORD deadline) {
  const unsigned char wanted[2] = {a, b};
  unsigned char byte = 0;
  if (link.waitAnyOf(wanted, 2, deadline, &byte) != SerialLink::Wait::kByte) return 0;
  return byte;
}

bool drainLine(SerialLink& link, DWORD deadline) {
  const DWORD now = GetTickCount();
  const DWORD limit = tickPassed(now, deadline) ? 0 : static_cast<DWORD>(deadline - now);
  const std::size_t dropped = link.drain(limit);
  return dropped == 0 || !deadlinePassed(deadline);
}

bool sendByte(SerialLink& link, unsigned char byte) {
  // Stall limit 0: the first write that moves nothing has failed.
  return link.writeAll(&byte, 1, 0);
}

Outcome failedAfterKey() {
  std::printf("\nPress any key to continue\n");
  _getch();
  return Outcome::Failure;
}
