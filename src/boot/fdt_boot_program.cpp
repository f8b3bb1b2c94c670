// Stages A and B of the boot-mode programmer: the boot program in the chip
// (bit-rate matching, the micro kernel with its echo, the erase report).
#include "boot/boot_programmer.h"

#include <cstdio>

#include "common/progress_line.h"
#include "common/ticks.h"

namespace fdt {

// Stage A: 0x00 bytes until the boot program answers 0x00 (it has measured
// the bit rate), then 0x55, answered by 0xAA.
Step BootProgrammer::stageMatching() {
  std::printf("\n->CHECKING COMMUNICATION WITH SH2...");
  for (;;) {
    DWORD deadline = deadlineIn(kMatchingWindowMs);
    unsigned char answer = kSentinel;
    for (;;) {
      if (!sendOr(0x00,
                  "\nUnable to write on the COM port\nCheck if the jumpers are at the right place"))
        return Step::kFailed;
      if (pollByte(&answer) && answer == 0x00) break;
      if (!deadlinePassed(deadline)) continue;
      if (!bootMetSilentBefore_) {
        // The first silence of the run: an old firmware may be running,
        // which the caller can hand over to the boot program.
        std::printf(
            "\nTime Out...No communication with Boot Program...Maybe there's an old "
            "firmware...");
        std::printf("\nNow Calling the function to check the version of the firmware...");
        return Step::kBootSilent;
      }
      // The card must be rebooted into boot mode: keep knocking until it
      // answers, reminding the operator once per window of silence.
      std::printf(
          "\nTime out...No old firmware...No communication..Reboot the card and try again...");
      std::printf("\nBe sure that the jumpers for the RS-232 commmunications are at the right place");
      deadline = deadlineIn(kMatchingWindowMs);
    }

    if (!sendOr(0x55, "\nError doesn't write2")) return Step::kFailed;
    const DWORD syncDeadline = deadlineIn(kSyncAnswerMs);
    if (pollByte(&answer) && answer == kSyncAnswer) break;
    if (syncRetries_ >= kMaxSyncRetries) {
      // The last attempt gets no second read.
      std::printf("\nNo 0xAA from the boot program after %d retries: bit rate matching failed",
                  kMaxSyncRetries);
      return Step::kFailed;
    }
    if (awaitByte(kSyncAnswer, syncDeadline)) break;
    std::printf("\nTime Out...Retry...");
    ++syncRetries_;
  }
  std::printf("OK");
  return Step::kGoOn;
}

// Stage B: the micro kernel, its length and every byte echoed by the boot
// program, which then reports 0xAA and the result of erasing the flash.
Step BootProgrammer::stageMicroKernel() {
  std::printf("\n->SENDING MICRO KERNEL...\n");
  std::size_t loaded = 0;
  if (!loadKernel(kMicroKernelFile, &loaded)) return Step::kFailed;
  const uint16_t length = static_cast<uint16_t>(loaded);

  const uint8_t high = static_cast<uint8_t>(length >> 8);
  const uint8_t low = static_cast<uint8_t>(length & 0xFF);
  if (!sendOr(high, "\nError doesn't write3")) return Step::kFailed;
  if (!awaitByte(high, deadlineIn(kEchoMs))) {
    std::printf("\nTime Out1");
    return Step::kFailed;
  }
  if (!sendOr(low, "\nError doesn't write4")) return Step::kFailed;
  if (!awaitByte(low, deadlineIn(kEchoMs))) {
    std::printf("\nTime Out 2");
    return Step::kFailed;
  }

  for (uint16_t i = 0; i < length; ++i) {
    const DWORD deadline = deadlineIn(kEchoMs);
    if (!sendOr(kernel_[i], "\nError doesn't write5")) return Step::kFailed;
    unsigned char echo = kSentinel;
    if (link_.waitByte(&echo, deadline) != SerialLink::Wait::kByte) {
      std::printf("\nTime Out 3");
      return Step::kFailed;
    }
    if (echo != kernel_[i]) {
      std::printf("Error during  validation  byte");
      return Step::kFailed;
    }
    printProgress(link_.progressSink(), static_cast<double>(i) * 100 / length + 0.05);
  }
  printProgressComplete(link_.progressSink(), " %     ");

  if (!awaitByte(kSyncAnswer, deadlineIn(kKernelStartMs))) {
    std::printf("\nTime Out 4");
    return Step::kFailed;
  }
  std::printf("\n%cOK", 13);

  // The erase report follows at once; none at all lets the call go on.
  unsigned char report = kSentinel;
  if (pollByte(&report) && report == kEraseFailed) {
    std::printf("Error during erasing of the flash");
    return Step::kFailed;
  }
  return Step::kGoOn;
}

}  // namespace fdt
