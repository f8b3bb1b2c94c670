#include "link/boot_entry.h"

#include "common/ticks.h"
#include "link/serial_link.h"

DWORD probe(SerialLink& link) {
  link.note("probe: is a firmware answering?");
  const DWORD probeEnd = deadlineIn(1000);
  DWORD lastCount = 0;
  unsigned char reply[100];
  for (int pass = 0; pass < 2; ++pass) {
    if (!link.writeByte(0x00)) break;
    Sleep(100);
    link.read(reply, 50, &lastCount);  // a failed read counts as silence
    if (deadlinePassed(probeEnd)) break;
  }
  return lastCount;
}

bool sendOldFirmwareBootKey(SerialLink& link) {
  if (!link.writeByte(kOldFirmwareBootKey)) return false;
  Sleep(kOldFirmwareKeyPauseMs);
  return true;
}

bool sendOldFirmwareBootSequence(SerialLink& link) {
  for (unsigned char key : kOldFirmwareMenuKeys) {
    if (!link.writeByte(key)) return false;
    Sleep(kOldFirmwareKeyPauseMs);
  }
  return sendOldFirmwareBootKey(link);
}
