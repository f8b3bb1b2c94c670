// Mode MICRO: the running firmware hands the microcontroller over to its
// boot program, the line drops to the boot program's 9600 bit/s, and FDT
// rewrites the flash.
#include <cstdio>
#include <cstring>

#include "boot/fdt.h"
#include "common/elapsed.h"
#include "jobs/modes.h"
#include "link/serial_port.h"

namespace {

// Writes a command in one write; false when the write fails.
bool writeCommand(const char* cmd) {
  DWORD ret = 0;
  lrc = WriteFile(lport, cmd, static_cast<DWORD>(std::strlen(cmd)), &ret, nullptr);
  return lrc != FALSE && ret == std::strlen(cmd);
}

}  // namespace

Outcome ProgramMicro() {
  char cmd[20];
  char ReadBuf[50];
  const DWORD begin = GetTickCount();

  std::strcpy(cmd, "#MICROMODE\r");
  if (!writeCommand(cmd)) return Outcome::Failure;
  Sleep(50);
  DWORD ret = 0;
  ReadFile(lport, ReadBuf, sizeof ReadBuf, &ret, nullptr);
  if (ret > 0) {
    // Only whether the firmware answered matters, not what it said.
    std::strcpy(cmd, "#MICRO\r");
    if (!writeCommand(cmd)) return Outcome::Failure;
    Sleep(50);
  }

  if (!setBaudRate(9600)) {
    std::printf("Failed to set port state : error %ld\n", static_cast<long>(GetLastError()));
    return Outcome::Failure;
  }
  const int result = FDT(lport, lDCB, ct, lfullportname);
  printTime(begin, 1);
  return result == kFdtDone ? Outcome::Success : Outcome::Failure;
}
