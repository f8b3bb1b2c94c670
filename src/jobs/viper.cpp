// Mode VIPER: one flash image into the video processor, after the ISP
// driver that serves its device.
#include <cstdio>

#include "common/elapsed.h"
#include "jobs/flash_loader.h"
#include "jobs/modes.h"
#include "link/micro_command.h"
#include "link/serial_port.h"
#include "platform/win32.h"

namespace {

Outcome promptAndFail() {
  std::printf("Press a key to continue ... ");
  _getch();
  return Outcome::Failure;
}

}  // namespace

Outcome ProgramViper(int device, const char* fileName) {
  // The polling time-outs: a read returns at once with what is waiting, or
  // after 1 ms; the receivers poll on that basis.
  if (!applyTimeouts(0xFFFFFFFF, 0xFFFFFFFF, 1, 100, 0)) {
    std::printf("Failed to set timeout : error %ld\n", static_cast<long>(GetLastError()));
    return promptAndFail();
  }
  const DWORD begin = GetTickCount();
  const unsigned short dev = static_cast<unsigned short>(device);

  // FDriver programs devices 5 and 7, SFDriver device 1.
  const char* driver = nullptr;
  if (dev == 7 || dev == 5) driver = "FDriver.bin";
  if (dev == 1) driver = "SFDriver.bin";
  if (driver != nullptr) {
    std::printf("Loading ISP Driver...\n");
    if (loadFile(driver, 0) == -1) return promptAndFail();
    Sleep(1000);
  }

  std::printf("Programm %s ...\n", fileName);
  if (loadFile(fileName, dev) == -1) return promptAndFail();

  const unsigned char done[] = "=ME\r";
  const int closed = sendMicroCmd(done, 4);
  printTime(begin, 1);
  return closed ? Outcome::Success : Outcome::Failure;
}
