// Mode VIPER: one flash image into the video processor, after the ISP
// driver that serves its device; with --verify the device is then read back
// and compared with the image.
#include <cstdio>

#include "common/elapsed.h"
#include "jobs/flash_job.h"
#include "jobs/flash_loader.h"
#include "jobs/job_findings.h"
#include "jobs/modes.h"
#include "link/micro_command.h"
#include "link/serial_link.h"
#include "platform/interrupt_notice.h"
#include "platform/win32.h"

namespace {

Outcome promptAndFail() {
  std::printf("Press a key to continue ... ");
  _getch();
  return Outcome::Failure;
}

}  // namespace

Outcome ProgramViper(SerialLink& link, int device, const char* fileName, bool verifyAfterWrite,
                     JobFindings* findings) {
  const auto failedAt = [findings](const char* step) {
    if (findings != nullptr) findings->failedStep = step;
    return promptAndFail();
  };
  // The polling time-outs, as at start-up; they stay in force after the
  // mode.
  if (!link.setTimeouts(SerialLink::kPolling)) {
    std::printf("Failed to set timeout : error %ld\n", static_cast<long>(link.lastError()));
    return promptAndFail();
  }
  const DWORD begin = GetTickCount();
  const unsigned short flashDevice = static_cast<unsigned short>(device);
  // An image that cannot go whole is refused before the soft reset.
  if (!imageFileFitsDevice(fileName, flashDevice)) return promptAndFail();

  // FDriver programs devices 5 and 7, SFDriver device 1.
  const char* driver = nullptr;
  if (flashDevice == 7 || flashDevice == 5) driver = "FDriver.bin";
  if (flashDevice == 1) driver = "SFDriver.bin";
  if (driver != nullptr) {
    std::printf("Loading ISP Driver...\n");
    if (loadFile(link, driver, 0) == -1) return failedAt("driver");
    Sleep(1000);
  }

  std::printf("Programm %s ...\n", fileName);
  {
    const platform::InterruptNotice notice(interruptedWriteHint(flashDevice));
    if (loadFile(link, fileName, flashDevice) == -1) return failedAt("write");
  }

  const unsigned char done[] = "=ME\r";
  const bool closed = sendMicroCmd(link, done, 4);
  printTime(begin, 1);
  if (verifyAfterWrite && !verifyWrittenDevice(link, fileName, flashDevice, findings))
    return Outcome::Failure;
  return closed ? Outcome::Success : Outcome::Failure;
}
