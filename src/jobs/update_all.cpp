// Mode ALL, programming half: the update files found in the current
// directory, applied in a fixed order.
#include <cstdio>

#include "common/elapsed.h"
#include "jobs/flash_loader.h"
#include "jobs/modes.h"
#include "link/micro_command.h"
#include "link/serial_port.h"
#include "platform/win32.h"

namespace {

Outcome failureEnding() {
  std::printf("Press a key to continue ... ");
  _getch();
  return Outcome::Failure;
}

// Driver then image, then the micro's end of the video-processor work.
// Failed: the pass stops.  A refused "=ME\r" only marks the run as failed.
enum class Step { Done, DoneButEndRefused, Failed };

Step programDevice(const char* driver, const char* image, int device, const char* announce) {
  std::printf("Loading ISP Driver...\n");
  if (loadFile(driver, 0) == -1) return Step::Failed;
  Sleep(1000);
  std::printf("%s", announce);
  if (loadFile(image, device) == -1) return Step::Failed;
  const unsigned char done[] = "=ME\r";
  return sendMicroCmd(done, 4) ? Step::Done : Step::DoneButEndRefused;
}

}  // namespace

Outcome ProgramALL(int device1Present, int device5Present, int fpgaPresent, int edidPresent) {
  const DWORD begin = GetTickCount();
  bool allOk = true;

  if (edidPresent) {
    // A failed EDID transfer has shown its own message; the pass goes on.
    if (ProgramEDID("EDID.bin") != Outcome::Success) allOk = false;
  }

  if (!applyTimeouts(0, 0, 1, 0, 1)) {
    std::printf("Failed to set timeout : error %ld\n", static_cast<long>(GetLastError()));
    return Outcome::Failure;
  }

  if (device5Present) {
    const Step s = programDevice("FDriver.bin", "Device5.bin", 5, "Program Device5.bin ...\n");
    if (s == Step::Failed) return failureEnding();
    if (s == Step::DoneButEndRefused) allOk = false;
  }
  if (device1Present) {
    const Step s = programDevice("SFDriver.bin", "Device1.bin", 1, "Program Device1.bin ...\n");
    if (s == Step::Failed) return failureEnding();
    if (s == Step::DoneButEndRefused) allOk = false;
  }
  if (fpgaPresent) {
    if (ProgramFPGA("fpga.xsvf") != Outcome::Success) allOk = false;
  }

  printTime(begin, 1);
  return allOk ? Outcome::Success : Outcome::Failure;
}
