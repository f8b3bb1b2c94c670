// Boot-mode programmer of the card's SH2 microcontroller.
//
// One call runs through three programs on the microcontroller, each loaded
// by the one before:
//   A  bit-rate matching with the boot program in the chip (9600 bit/s);
//   B  the micro kernel uGen7144.cde, every byte echoed, then the erase report;
//   C  the micro kernel's parameters: programming-unit inquiry, device,
//      clock mode, the new bit rate 115200 (the line is switched in place),
//      its confirmation and the transition to the programming state;
//   D  the main kernel Genm7144.cde, streamed with a sum byte;
//   E  status inquiry and user-area selection through the main kernel;
//   F  the write kernel Genw7144.cde;
//   G  the first 1024 data bytes of appMain.mot as eight 128-byte blocks at
//      flash 0x000..0x3FF, then a status inquiry;
//   H  every following data byte as 128-byte blocks from flash 0x800 up.
//
// Every byte goes in its own write.  The matching knocks and the erase
// report are single reads under the link's polling time-outs (about 1 ms
// when nothing comes), which set the pace of the knocks; every other wait
// ends at its deadline on the tick counter.
#include "boot/fdt.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "boot/boot_mode.h"
#include "boot/srecord_reader.h"
#include "common/progress_line.h"
#include "common/scoped_file.h"
#include "common/ticks.h"
#include "link/serial_link.h"

namespace {

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

bool BootProgrammer::ackWait(DWORD ms, unsigned char* last) {
  const DWORD deadline = deadlineIn(ms);
  unsigned char byte = kSentinel;
  if (last) *last = kSentinel;
  while (link_.waitByte(&byte, deadline) == SerialLink::Wait::kByte) {
    if (last) *last = byte;
    if (byte == kAck) return true;
  }
  return false;
}

bool BootProgrammer::collect(std::size_t n, DWORD deadline) {
  std::size_t got = 0;
  while (got < n) {
    DWORD count = 0;
    if (!link_.readUntil(&answer_[got], static_cast<DWORD>(n - got), deadline, &count))
      return false;
    got += count;
    if (got < n && deadlinePassed(deadline)) return false;
  }
  return true;
}

bool BootProgrammer::loadKernel(const char* name, std::size_t* length) {
  ScopedFile kernel(name, "rb");
  if (!kernel) {
    std::printf("/nFile load error\n");
    return false;
  }
  *length = std::fread(kernel_, 1, sizeof kernel_, kernel.get());
  return true;
}

bool BootProgrammer::sendKernel(std::size_t length, uint8_t constant, DWORD checkMs,
                                const char* byteError, const char* sumError) {
  for (std::size_t i = 0; i < length; ++i)
    if (!sendOr(kernel_[i], byteError)) return false;
  const uint8_t sum = kernelSum(kernel_, length, constant);
  Sleep(checkMs);
  return sendOr(sum, sumError);
}

bool BootProgrammer::writeBlock(uint32_t address, const unsigned char* data,
                                const BlockPhase& phase, ImageProgress* progress) {
  const uint8_t header[5] = {kWriteCommand, static_cast<uint8_t>(address >> 24),
                             static_cast<uint8_t>(address >> 16),
                             static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
  for (uint8_t b : header) {
    // Not examined: a line that refuses this byte refuses the data byte
    // that follows, which is, and a block that arrived incomplete is not
    // acknowledged.
    (void)send(b);
    if (phase.headerGapMs != 0) Sleep(phase.headerGapMs);
  }
  for (uint32_t j = 0; j < kBlockBytes; ++j) {
    if (!sendOr(data[j], phase.dataWriteError)) return false;
    if (progress == nullptr) continue;
    ++progress->sent;
    double percent = static_cast<double>(progress->sent) * 100 / progress->length - 0.05;
    if (percent > 100) percent = 100;  // the filler bytes of the last block
    printProgress(percent, " ");
  }
  if (!sendOr(writeBlockSum(address, data), phase.sumWriteError)) return false;
  return ackOr("\nACK NOT received  :( ");
}

bool BootProgrammer::statusInquiry(const char* writeError, const char* timeoutError) {
  if (!sendOr(0x4F, writeError)) return false;
  if (!collect(5, deadlineIn(kStatusAnswerMs))) {
    std::printf("%s", timeoutError);
    return false;
  }
  return true;
}

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
    printProgress(static_cast<double>(i) * 100 / length + 0.05);
  }
  printProgressComplete(" %     ");

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

// Stage G: the first 1024 data bytes of the image as eight blocks at
// 0x000..0x380, then the main kernel's status.
Step BootProgrammer::stageImageFirstKiB() {
  std::printf("\n->WRITING .MOT FILE  TO FLASH MEMORY...\n");
  image_ = ScopedFile(kMicroImageFile, "rb");
  if (!image_) {
    std::printf("/nFile load error\n");
    return Step::kFailed;
  }
  reader_ = std::make_unique<SRecordReader>(image_.get());
  unsigned char block[kBlockBufferSize];
  for (uint32_t address = 0; address < kFirstPhaseEnd; address += kBlockBytes) {
    const DWORD deadline = deadlineIn(kImageBlockMs);
    for (;;) {
      reader_->readline16(block);
      if (reader_->blockComplete()) break;
      if (deadlinePassed(deadline)) {
        std::printf("ErrorReading line");
        return Step::kFailed;
      }
    }
    reader_->clearBlockComplete();
    if (!writeBlock(address, block, kFirstPhase, nullptr)) return Step::kFailed;
  }

  Sleep(kCommandGapMs);
  if (!statusInquiry("\nError doesn't write20", "\nTime Out 8")) return Step::kFailed;
  // A wrong sum byte here is reported and passed over.
  if (answer_[4] != expectedStatusSum())
    std::printf("Error checking sum BINARY%02x ....%02x", answer_[4], expectedStatusSum());
  if (!statusIs(0x04)) {
    std::printf("\nError 4");
    return Step::kFailed;
  }
  return Step::kGoOn;
}

// Stage H: everything up to the terminating record, from 0x800 on.
Step BootProgrammer::stageImageRest() {
  std::vector<unsigned char> largeBlock(kDataBlockSize);
  ImageProgress progress;
  const DWORD deadline = deadlineIn(kImageBlockMs);
  for (;;) {
    reader_->readblock(largeBlock.data(), &progress.length);
    if (reader_->blockComplete()) break;
    if (deadlinePassed(deadline)) {
      std::printf("ErrorReading line");
      return Step::kFailed;
    }
  }
  reader_->clearBlockComplete();
  const uint32_t length = progress.length;
  if (length > kDataBlockSize) {
    std::printf("\nError...File .mot too large");
    return Step::kFailed;
  }
  // The last block is completed with erased-flash bytes.
  for (uint32_t f = length; f < kDataBlockSize && f % kBlockBytes != 0; ++f) largeBlock[f] = 0xFF;

  for (uint32_t offset = 0; offset < length; offset += kBlockBytes)
    if (!writeBlock(kSecondPhaseStart + offset, &largeBlock[offset], kSecondPhase, &progress))
      return Step::kFailed;
  printProgressComplete(" %      ");
  std::printf("\n%cOK", 13);
  std::printf("\nEND...REBOOT THE DEVICE!\n");
  return Step::kGoOn;
}

FdtResult BootProgrammer::run() {
  using Stage = Step (BootProgrammer::*)();
  // The whole programming, in the order it runs.
  static constexpr Stage kStages[] = {
      &BootProgrammer::stageMatching,       // A: bit rate of the boot program
      &BootProgrammer::stageMicroKernel,    // B: micro kernel, erase report
      &BootProgrammer::stageParameters,     // C: the micro kernel's parameters
      &BootProgrammer::stageMainKernel,     // D: main kernel
      &BootProgrammer::stageStatusAndArea,  // E: status, user area
      &BootProgrammer::stageWriteKernel,    // F: write kernel
      &BootProgrammer::stageImageFirstKiB,  // G: flash 0x000..0x3FF, status
      &BootProgrammer::stageImageRest,      // H: flash from 0x800
  };
  for (Stage stage : kStages) {
    switch ((this->*stage)()) {
      case Step::kGoOn: break;
      case Step::kFailed: return FdtResult::kFailed;
      case Step::kBootSilent: return FdtResult::kBootSilent;
    }
  }
  return FdtResult::kDone;
}

}  // namespace

uint8_t writeBlockSum(uint32_t address, const unsigned char* data) {
  uint8_t sum = kWriteCommand;
  for (int shift = 24; shift >= 0; shift -= 8) sum = static_cast<uint8_t>(sum + (address >> shift));
  for (int j = 0; j < 128; ++j) sum = static_cast<uint8_t>(sum + data[j]);
  return static_cast<uint8_t>(0 - sum);
}

uint8_t kernelSum(const unsigned char* bytes, std::size_t n, uint8_t constant) {
  uint8_t sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  return static_cast<uint8_t>(0 - (sum + constant));
}

bool changebaudrate(SerialLink& link, DWORD baud) { return link.reopenAt(baud); }

FdtResult FDT(SerialLink& link, bool bootMetSilentBefore) {
  BootProgrammer programmer(link, bootMetSilentBefore);
  return programmer.run();
}
