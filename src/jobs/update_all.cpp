// Mode ALL, programming half: the update files found in the current
// directory, applied in a fixed order.
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

Outcome failureEnding() {
  std::printf("Press a key to continue ... ");
  _getch();
  return Outcome::Failure;
}

// Driver then image, then the micro's end of the video-processor work.
// Failed: the pass stops.  A refused "=ME\r" only marks the run as failed.
enum class Step { Done, DoneButEndRefused, Failed };

Step programDevice(SerialLink& link, const char* driver, const char* image, int device,
                   const char* announce, JobFindings* findings) {
  const auto failedAt = [findings](const char* step) {
    if (findings != nullptr) findings->failedStep = step;
    return Step::Failed;
  };
  std::printf("Loading ISP Driver...\n");
  if (loadFile(link, driver, 0) == -1) return failedAt("driver");
  Sleep(1000);
  std::printf("%s", announce);
  {
    const platform::InterruptNotice notice(interruptedWriteHint(device));
    if (loadFile(link, image, device) == -1) return failedAt("write");
  }
  const unsigned char done[] = "=ME\r";
  return sendMicroCmd(link, done, 4) ? Step::Done : Step::DoneButEndRefused;
}

}  // namespace

Outcome ProgramALL(SerialLink& link, const UpdateFiles& files, bool verifyAfterWrite,
                   JobFindings* findings) {
  const DWORD begin = GetTickCount();
  bool allOk = true;

  // A flash image that cannot go whole stops the run before anything is
  // sent, the EDID included.
  if ((files.device5 && !imageFileFitsDevice("Device5.bin", 5)) ||
      (files.device1 && !imageFileFitsDevice("Device1.bin", 1)))
    return failureEnding();

  if (files.edid) {
    // A failed EDID transfer has shown its own message; the pass goes on.
    if (ProgramEDID(link, "EDID.bin") != Outcome::Success) allOk = false;
  }

  // The flash loads run under the quick time-outs (every read and write
  // returns within 1 ms), which stay in force until FPGA sets its own.
  if (!link.setTimeouts(SerialLink::kQuick)) {
    std::printf("Failed to set timeout : error %ld\n", static_cast<long>(link.lastError()));
    return Outcome::Failure;
  }

  // --verify: a device that does not read back as written stops the pass
  // (verifyWrittenDevice has shown why and waited for the key).
  if (files.device5) {
    const Step s =
        programDevice(link, "FDriver.bin", "Device5.bin", 5, "Program Device5.bin ...\n",
                      findings);
    if (s == Step::Failed) return failureEnding();
    if (s == Step::DoneButEndRefused) allOk = false;
    if (verifyAfterWrite && !verifyWrittenDevice(link, "Device5.bin", 5, findings))
      return Outcome::Failure;
  }
  if (files.device1) {
    const Step s =
        programDevice(link, "SFDriver.bin", "Device1.bin", 1, "Program Device1.bin ...\n",
                      findings);
    if (s == Step::Failed) return failureEnding();
    if (s == Step::DoneButEndRefused) allOk = false;
    if (verifyAfterWrite && !verifyWrittenDevice(link, "Device1.bin", 1, findings))
      return Outcome::Failure;
  }
  if (files.fpga) {
    if (ProgramFPGA(link, "fpga.xsvf") != Outcome::Success) allOk = false;
  }

  printTime(begin, 1);
  return allOk ? Outcome::Success : Outcome::Failure;
}
