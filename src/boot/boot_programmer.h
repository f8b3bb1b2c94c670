// The boot-mode programmer's stages and what they share: the protocol's
// bytes, every deadline and pause with its reason, and the programmer that
// carries one FDT call.  fdt.cpp runs the stages; fdt_boot_program.cpp,
// fdt_kernels.cpp and fdt_image.cpp hold them.  Only those files include
// this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "boot/boot_mode.h"
#include "boot/fdt.h"
#include "boot/srecord_reader.h"
#include "common/scoped_file.h"
#include "link/serial_link.h"

namespace fdt {

constexpr uint8_t kAck = 0x06;
constexpr uint8_t kSentinel = 0x66;      // no awaited answer has this value
constexpr uint8_t kWriteCommand = 0x50;  // write-block command
constexpr uint8_t kSyncAnswer = 0xAA;    // the boot program's answer to 0x55
constexpr uint8_t kEraseFailed = 0xFF;   // the boot program's erase report
constexpr int kStatusSum = 256;          // the status answers' sum bytes complete 256
constexpr uint32_t kBlockBytes = 128;    // the kernels' programming unit
constexpr uint32_t kFirstPhaseEnd = 0x400;
constexpr uint32_t kSecondPhaseStart = 0x800;
// Restarts of the matching after an unanswered 0x55 before giving up.
constexpr int kMaxSyncRetries = 5;

// How long each answer may take.
// The boot program answers a 0x00 once it has measured the bit rate; this
// much silence means no boot program is listening (a reminder is due).
constexpr DWORD kMatchingWindowMs = 10000;
constexpr DWORD kSyncAnswerMs = 2000;      // 0xAA after 0x55
constexpr DWORD kEchoMs = 5000;            // the boot program's echo of a micro-kernel byte
constexpr DWORD kKernelStartMs = 5000;     // 0xAA once the micro kernel runs
constexpr DWORD kInquiryAnswerMs = 5000;   // the programming-unit answer
constexpr DWORD kQuietLimitMs = 5000;      // the micro kernel's chatter dies away within
constexpr DWORD kAckMs = 7000;             // 0x06 for a command or a write block
constexpr DWORD kMainKernelAckMs = 3000;   // 0x06 for the main kernel's sum byte
constexpr DWORD kStatusAnswerMs = 10000;   // the main kernel's status answer
constexpr DWORD kImageBlockMs = 5000;      // reading one block of appMain.mot

// Pauses that give the microcontroller time to act; they are part of the
// protocol's timing, and the kernels count on them.
// Between commands: the kernel finishes one before it reads the next.
constexpr DWORD kCommandGapMs = 1000;
// After each byte of the clock-mode frame: the kernel reprograms its
// clock on the way.
constexpr DWORD kClockByteGapMs = 1000;
// Before the first byte at 115200 bit/s: the kernel switches its rate
// after its acknowledgement has gone out.
constexpr DWORD kNewRateSettleMs = 50;
// After each length byte of a kernel sent without echo.
constexpr DWORD kLengthByteGapMs = 10;
// Between the main kernel's length and its bytes: room is made for it.
constexpr DWORD kMainKernelRoomMs = 100;
// Before the main kernel's sum byte: the kernel has to be checked first.
constexpr DWORD kMainKernelCheckMs = 2000;
// Before the write kernel's sum byte.
constexpr DWORD kWriteKernelCheckMs = 10;
// After the command and each address byte of a first-phase block: the main
// kernel takes them one at a time while it prepares the user area.
constexpr DWORD kFirstPhaseHeaderGapMs = 5;

// What a stage tells the pipeline.
enum class Step {
  kGoOn,        // the stage is done; the next one follows
  kFailed,      // a step failed; its message has been printed
  kBootSilent,  // the boot program stayed silent on the run's first call
};

// How one phase of the image writes its blocks.
struct BlockPhase {
  DWORD headerGapMs;           // after the command and each address byte
  const char* dataWriteError;  // a data byte did not go out
  const char* sumWriteError;   // the sum byte did not go out
};
constexpr BlockPhase kFirstPhase = {kFirstPhaseHeaderGapMs, "\nError doesn't write18",
                                    "\nError doesn't write19"};
constexpr BlockPhase kSecondPhase = {0, "\nError doesn't write21", "\nError doesn't write9"};

// The second phase's progress line: bytes sent of the image's length.
struct ImageProgress {
  uint32_t sent = 0;
  uint32_t length = 0;
};

class BootProgrammer {
 public:
  BootProgrammer(SerialLink& link, bool bootMetSilentBefore)
      : link_(link), bootMetSilentBefore_(bootMetSilentBefore) {}
  FdtResult run();

 private:

  // One write of one byte; true when it went out.
  [[nodiscard]] bool send(uint8_t byte) { return link_.writeAll(&byte, 1); }
  // send(), and `error` printed when the byte did not go out.
  [[nodiscard]] bool sendOr(uint8_t byte, const char* error) {
    if (send(byte)) return true;
    std::printf("%s", error);
    return false;
  }
  // Ends `burst`, and `error` printed when its held bytes did not go out.
  [[nodiscard]] bool endOr(SerialLink::Burst& burst, const char* error) {
    if (burst.end()) return true;
    std::printf("%s", error);
    return false;
  }
  // One read of one byte under the polling time-outs; true when one came.
  bool pollByte(unsigned char* byte) {
    DWORD got = 0;
    return link_.read(byte, 1, &got) && got == 1;
  }
  // Reads until `expected` has come; other bytes do not end the wait.
  bool awaitByte(uint8_t expected, DWORD deadline) {
    unsigned char byte = kSentinel;
    return link_.waitAnyOf(&expected, 1, deadline, &byte) == SerialLink::Wait::kByte;
  }
  // 0x06 within `ms`; other bytes do not end the wait.  `*last` (when
  // given) receives the last byte read, kSentinel when none came.
  bool ackWait(DWORD ms = kAckMs, unsigned char* last = nullptr);
  // ackWait(), and `error` printed when no 0x06 came.
  bool ackOr(const char* error) {
    if (ackWait()) return true;
    std::printf("%s", error);
    return false;
  }
  // Collects `n` bytes into answer_; false when the deadline passes first.
  bool collect(std::size_t n, DWORD deadline);
  // Reads the kernel `name` into kernel_; false (message printed) when it
  // cannot be opened.  A kernel longer than the buffer is cut.
  bool loadKernel(const char* name, std::size_t* length);
  // Sends a kernel's bytes back to back, then, after `checkMs`, its sum byte.
  bool sendKernel(std::size_t length, uint8_t constant, DWORD checkMs, const char* byteError,
                  const char* sumError);
  // One write block: 0x50, the address (most significant byte first), 128
  // bytes of `data`, the sum byte, then the acknowledgement.
  bool writeBlock(uint32_t address, const unsigned char* data, const BlockPhase& phase,
                  ImageProgress* progress);
  // The status inquiry 0x4F: five bytes within kStatusAnswerMs.
  bool statusInquiry(const char* writeError, const char* timeoutError);
  // The sum byte a status answer must carry: 256 minus the sum of its
  // first four bytes, in plain integer arithmetic (not modulo 256).
  int expectedStatusSum() const {
    return kStatusSum - (answer_[0] + answer_[1] + answer_[2] + answer_[3]);
  }
  bool statusIs(uint8_t status) const {
    return answer_[0] == 0x5F && answer_[1] == 0x02 && answer_[2] == status && answer_[3] == 0x00;
  }

  Step stageMatching();
  Step stageMicroKernel();
  Step stageParameters();
  Step stageMainKernel();
  Step stageStatusAndArea();
  Step stageWriteKernel();
  Step stageImageFirstKiB();
  Step stageImageRest();

  SerialLink& link_;
  const bool bootMetSilentBefore_;
  unsigned char kernel_[kMaxKernelBytes];
  unsigned char answer_[8] = {};
  int syncRetries_ = 0;
  // The image, open from the first phase on; the second phase's reader
  // goes on where the first one stopped.
  ScopedFile image_;
  std::unique_ptr<SRecordReader> reader_;
};

}  // namespace fdt
