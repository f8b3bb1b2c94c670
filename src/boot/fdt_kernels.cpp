// Stages C to F of the boot-mode programmer: the micro kernel's parameters,
// the main kernel, the user area through it, and the write kernel.
#include "boot/boot_programmer.h"

#include <cstdio>
#include <cstring>

#include "common/ticks.h"

namespace fdt {

// Stage C, talking to the micro kernel at 9600 bit/s until it confirms the
// new rate.  The command frames are constants with their sum bytes.
Step BootProgrammer::stageParameters() {
  std::printf("\n->SET PARAMETERS...");

  // Programming-unit inquiry: answer code, size 2, unit 0x0080, sum byte.
  if (!sendOr(0x27, "\nError doesn't write6")) return Step::kFailed;
  if (!collect(5, deadlineIn(kInquiryAnswerMs))) {
    std::printf("\nTime Out 5");
    return Step::kFailed;
  }
  static const unsigned char kInquiryAnswer[5] = {0x37, 0x02, 0x00, 0x80, 0x47};
  if (std::memcmp(answer_, kInquiryAnswer, 5) != 0) {
    std::printf("\nError 2");
    return Step::kFailed;
  }

  // Let whatever else the kernel says die away.
  Sleep(kCommandGapMs);
  const DWORD quietBy = deadlineIn(kQuietLimitMs);
  link_.drain(kQuietLimitMs);
  if (deadlinePassed(quietBy)) {
    std::printf("\nTime Out 6");
    return Step::kFailed;
  }

  // Device selection: size 4, device code "0410".
  static const unsigned char kDevice[7] = {0x10, 0x04, 0x30, 0x34, 0x31, 0x30, 0x27};
  // Not examined: a frame that did not go out whole is not acknowledged,
  // and the acknowledgement wait reports it.
  for (unsigned char b : kDevice) (void)send(b);
  if (!ackOr("\nACK NOT received  DEVICE!!")) return Step::kFailed;
  Sleep(kCommandGapMs);

  // Clock mode 3.
  static const unsigned char kClockMode[4] = {0x11, 0x01, 0x03, 0xEB};
  for (unsigned char b : kClockMode) {
    if (!sendOr(b, "\nError doesn't write7")) return Step::kFailed;
    Sleep(kClockByteGapMs);
  }
  if (!ackOr("\nACK NOT received  SElect CLOCK MODE!!")) return Step::kFailed;
  Sleep(kCommandGapMs);

  // New bit rate 1152 x 100 bit/s, input clock 1106 x 10 kHz, two
  // multiplication ratios 4 and 2.
  static const unsigned char kBitRate[10] = {0x3F, 0x07, 0x04, 0x80, 0x04,
                                             0x52, 0x02, 0x04, 0x02, 0xD8};
  for (unsigned char b : kBitRate)
    if (!sendOr(b, "\nError doesn't write8")) return Step::kFailed;
  if (!ackOr("\nACK NOT received  Changing Baud RAte!!")) return Step::kFailed;

  // The line follows in place, without a reopen.
  if (!link_.setBaudRate(115200)) {
    std::printf("Failed to change baud rate : error %ld\n", static_cast<long>(link_.lastError()));
    return Step::kFailed;
  }

  Sleep(kNewRateSettleMs);
  if (!sendOr(kAck, "\nError doesn't write9")) return Step::kFailed;
  if (!ackOr("\nACK NOT  received  Baud Rate !!!!")) return Step::kFailed;
  Sleep(kCommandGapMs);

  if (!sendOr(0x40, "\nError doesn't write10")) return Step::kFailed;
  if (!ackOr("\nACK NOT  received   Finish Data Set !!!!")) return Step::kFailed;
  std::printf("OK");
  return Step::kGoOn;
}

// Stage D: the main kernel at 115200 bit/s, without echo.
Step BootProgrammer::stageMainKernel() {
  std::printf("\n->SENDING MAIN KERNEL...");
  std::size_t length = 0;
  if (!loadKernel(kMainKernelFile, &length)) return Step::kFailed;

  const unsigned char lengthBytes[4] = {0x00, 0x00, static_cast<unsigned char>(length >> 8),
                                        static_cast<unsigned char>(length & 0xFF)};
  for (unsigned char b : lengthBytes) {
    if (!sendOr(b, "\nError doesn't write11")) return Step::kFailed;
    Sleep(kLengthByteGapMs);
  }
  Sleep(kMainKernelRoomMs);
  if (!sendKernel(length, kMainKernelConstant, kMainKernelCheckMs, "\nError doesn't write12",
                  "\nError doesn't write13"))
    return Step::kFailed;
  unsigned char last = kSentinel;
  if (!ackWait(kMainKernelAckMs, &last)) {
    std::printf("\nACK NOT received MAIN KERNEL ..%x", last);
    return Step::kFailed;
  }
  std::printf("OK");
  return Step::kGoOn;
}

// Stage E: the main kernel's status, then the user flash area.
Step BootProgrammer::stageStatusAndArea() {
  std::printf("\n->Set PARAMETERS...");
  Sleep(kCommandGapMs);
  if (!statusInquiry("\nError doesn't write14", "\nTime Out 7")) return Step::kFailed;
  if (answer_[4] != expectedStatusSum()) {
    std::printf("Error checking sum %02x ....%02x", answer_[4], expectedStatusSum());
    return Step::kFailed;
  }
  if (!statusIs(0x03)) {
    std::printf("\nError 3");
    return Step::kFailed;
  }
  Sleep(kCommandGapMs);
  if (!sendOr(0x43, "\nError doesn't write15")) return Step::kFailed;
  if (!ackOr("\nACK NOT RECEIVE PrepareUser")) return Step::kFailed;
  std::printf("OK");
  return Step::kGoOn;
}

// Stage F: the write kernel.  A missing acknowledgement is reported and
// passed over.
Step BootProgrammer::stageWriteKernel() {
  std::size_t length = 0;
  if (!loadKernel(kWriteKernelFile, &length)) return Step::kFailed;
  const uint32_t length32 = static_cast<uint32_t>(length);
  for (int shift = 24; shift >= 0; shift -= 8) {
    // Not examined: a line that refuses a length byte refuses the kernel's
    // first byte, which is.
    (void)send(static_cast<uint8_t>(length32 >> shift));
    Sleep(kLengthByteGapMs);
  }
  if (!sendKernel(length, kWriteKernelConstant, kWriteKernelCheckMs, "\nError doesn't write16",
                  "\nError doesn't write17"))
    return Step::kFailed;
  if (!ackWait()) std::printf("\nACK NOT received  FDTWrite ");
  return Step::kGoOn;
}

}  // namespace fdt
