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
#include <vector>

#include "boot/boot_mode.h"
#include "boot/srecord_reader.h"
#include "common/ticks.h"
#include "link/serial_link.h"

namespace {

constexpr uint8_t kAck = 0x06;
constexpr uint8_t kSentinel = 0x66;      // no awaited answer has this value
constexpr uint8_t kWriteCommand = 0x50;  // write-block command
constexpr uint8_t kSyncAnswer = 0xAA;    // the boot program's answer to 0x55
constexpr int kStatusSum = 256;          // the status answers' sum bytes complete 256
constexpr DWORD kMatchingWindowMs = 10000;
// Restarts of the matching after an unanswered 0x55 before giving up.
constexpr int kMaxSyncRetries = 5;

// A file opened for one stage, closed when the stage (or a failure) leaves.
class OpenFile {
 public:
  explicit OpenFile(const char* name) : file_(std::fopen(name, "rb")) {}
  ~OpenFile() {
    if (file_) std::fclose(file_);
  }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  FILE* get() const { return file_; }

 private:
  FILE* file_;
};

// Result of a stage: go on, or return this value from FDT.
constexpr int kGoOn = -1;

class BootProgrammer {
 public:
  BootProgrammer(SerialLink& link, bool bootMetSilentBefore)
      : link_(link), bootMetSilentBefore_(bootMetSilentBefore) {}
  int run();

 private:
  // One write of one byte; true when it went out.
  bool send(uint8_t byte) { return link_.writeAll(&byte, 1); }
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
  bool ackWait(DWORD ms = 7000, unsigned char* last = nullptr);
  // Collects `n` bytes into answer_; false when the deadline passes first.
  bool collect(std::size_t n, DWORD deadline);
  // Reads the kernel `name` into kernel_; false (message printed) when it
  // cannot be opened.  A kernel longer than the buffer is cut.
  bool loadKernel(const char* name, std::size_t* length);

  // The stages return kGoOn, or the result FDT returns at once.
  int stageMatching();
  int stageMicroKernel();
  int stageParameters();
  int stageMainKernel();
  int stageStatusAndArea();
  int stageWriteKernel();
  int stageImage();
  bool statusInquiry(const char* writeError, const char* timeoutError);
  // The sum byte a status answer must carry: 256 minus the sum of its
  // first four bytes, in plain integer arithmetic (not modulo 256).
  int expectedStatusSum() const {
    return kStatusSum - (answer_[0] + answer_[1] + answer_[2] + answer_[3]);
  }
  bool statusIs(uint8_t status) const {
    return answer_[0] == 0x5F && answer_[1] == 0x02 && answer_[2] == status && answer_[3] == 0x00;
  }

  SerialLink& link_;
  const bool bootMetSilentBefore_;
  unsigned char kernel_[kMaxKernelBytes];
  unsigned char answer_[8] = {};
  int syncRetries_ = 0;
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
  OpenFile kernel(name);
  if (!kernel.get()) {
    std::printf("/nFile load error\n");
    return false;
  }
  *length = std::fread(kernel_, 1, sizeof kernel_, kernel.get());
  return true;
}

// Stage A: 0x00 bytes until the boot program answers 0x00 (it has measured
// the bit rate), then 0x55, answered by 0xAA.
int BootProgrammer::stageMatching() {
  std::printf("\n->CHECKING COMMUNICATION WITH SH2...");
  for (;;) {
    DWORD deadline = deadlineIn(kMatchingWindowMs);
    unsigned char answer = kSentinel;
    for (;;) {
      if (!send(0x00)) {
        std::printf("\nUnable to write on the COM port\nCheck if the jumpers are at the right place");
        return kFdtFailed;
      }
      if (pollByte(&answer) && answer == 0x00) break;
      if (!deadlinePassed(deadline)) continue;
      if (!bootMetSilentBefore_) {
        // The first silence of the run: an old firmware may be running,
        // which the caller can hand over to the boot program.
        std::printf(
            "\nTime Out...No communication with Boot Program...Maybe there's an old "
            "firmware...");
        std::printf("\nNow Calling the function to check the version of the firmware...");
        return kFdtBootSilent;
      }
      // The card must be rebooted into boot mode: keep knocking until it
      // answers, reminding the operator once per window of silence.
      std::printf(
          "\nTime out...No old firmware...No communication..Reboot the card and try again...");
      std::printf("\nBe sure that the jumpers for the RS-232 commmunications are at the right place");
      deadline = deadlineIn(kMatchingWindowMs);
    }

    if (!send(0x55)) {
      std::printf("\nError doesn't write2");
      return kFdtFailed;
    }
    const DWORD deadline55 = deadlineIn(2000);
    if (pollByte(&answer) && answer == kSyncAnswer) break;
    if (syncRetries_ >= kMaxSyncRetries) {
      // The last attempt gets no second read.
      std::printf("\nNo 0xAA from the boot program after %d retries: bit rate matching failed",
                  kMaxSyncRetries);
      return kFdtFailed;
    }
    if (awaitByte(kSyncAnswer, deadline55)) break;
    std::printf("\nTime Out...Retry...");
    ++syncRetries_;
  }
  std::printf("OK");
  return kGoOn;
}

// Stage B: the micro kernel, its length and every byte echoed by the boot
// program, which then reports 0xAA and the result of erasing the flash.
int BootProgrammer::stageMicroKernel() {
  std::printf("\n->SENDING MICRO KERNEL...\n");
  std::size_t loaded = 0;
  if (!loadKernel(kMicroKernelFile, &loaded)) return kFdtFailed;
  const uint16_t length = static_cast<uint16_t>(loaded);

  const uint8_t high = static_cast<uint8_t>(length >> 8);
  const uint8_t low = static_cast<uint8_t>(length & 0xFF);
  if (!send(high)) {
    std::printf("\nError doesn't write3");
    return kFdtFailed;
  }
  if (!awaitByte(high, deadlineIn(5000))) {
    std::printf("\nTime Out1");
    return kFdtFailed;
  }
  if (!send(low)) {
    std::printf("\nError doesn't write4");
    return kFdtFailed;
  }
  if (!awaitByte(low, deadlineIn(5000))) {
    std::printf("\nTime Out 2");
    return kFdtFailed;
  }

  for (uint16_t i = 0; i < length; ++i) {
    const DWORD deadline = deadlineIn(5000);
    if (!send(kernel_[i])) {
      std::printf("\nError doesn't write5");
      return kFdtFailed;
    }
    unsigned char echo = kSentinel;
    if (link_.waitByte(&echo, deadline) != SerialLink::Wait::kByte) {
      std::printf("\nTime Out 3");
      return kFdtFailed;
    }
    if (echo != kernel_[i]) {
      std::printf("Error during  validation  byte");
      return kFdtFailed;
    }
    std::printf("%cJob at %0.2f %c", 13, static_cast<double>(i) * 100 / length + 0.05, '%');
  }
  std::printf("%cJob at 100 %c     ", 13, '%');

  if (!awaitByte(kSyncAnswer, deadlineIn(5000))) {
    std::printf("\nTime Out 4");
    return kFdtFailed;
  }
  std::printf("\n%cOK", 13);

  // The erase report follows at once; none at all lets the call go on.
  unsigned char report = kSentinel;
  if (pollByte(&report) && report == 0xFF) {
    std::printf("Error during erasing of the flash");
    return kFdtFailed;
  }
  return stageParameters();
}

// Stage C, talking to the micro kernel at 9600 bit/s until it confirms the
// new rate.  The command frames are constants with their sum bytes.
int BootProgrammer::stageParameters() {
  std::printf("\n->SET PARAMETERS...");

  // Programming-unit inquiry: answer code, size 2, unit 0x0080, sum byte.
  if (!send(0x27)) {
    std::printf("\nError doesn't write6");
    return kFdtFailed;
  }
  if (!collect(5, deadlineIn(5000))) {
    std::printf("\nTime Out 5");
    return kFdtFailed;
  }
  static const unsigned char kInquiryAnswer[5] = {0x37, 0x02, 0x00, 0x80, 0x47};
  if (std::memcmp(answer_, kInquiryAnswer, 5) != 0) {
    std::printf("\nError 2");
    return kFdtFailed;
  }

  // Let whatever else the kernel says die away.
  Sleep(1000);
  const DWORD quietBy = deadlineIn(5000);
  link_.drain(5000);
  if (deadlinePassed(quietBy)) {
    std::printf("\nTime Out 6");
    return kFdtFailed;
  }

  // Device selection: size 4, device code "0410".
  static const unsigned char kDevice[7] = {0x10, 0x04, 0x30, 0x34, 0x31, 0x30, 0x27};
  for (unsigned char b : kDevice) send(b);
  if (!ackWait()) {
    std::printf("\nACK NOT received  DEVICE!!");
    return kFdtFailed;
  }
  Sleep(1000);

  // Clock mode 3.
  static const unsigned char kClockMode[4] = {0x11, 0x01, 0x03, 0xEB};
  for (unsigned char b : kClockMode) {
    if (!send(b)) {
      std::printf("\nError doesn't write7");
      return kFdtFailed;
    }
    Sleep(1000);
  }
  if (!ackWait()) {
    std::printf("\nACK NOT received  SElect CLOCK MODE!!");
    return kFdtFailed;
  }
  Sleep(1000);

  // New bit rate 1152 x 100 bit/s, input clock 1106 x 10 kHz, two
  // multiplication ratios 4 and 2.
  static const unsigned char kBitRate[10] = {0x3F, 0x07, 0x04, 0x80, 0x04,
                                             0x52, 0x02, 0x04, 0x02, 0xD8};
  for (unsigned char b : kBitRate) {
    if (!send(b)) {
      std::printf("\nError doesn't write8");
      return kFdtFailed;
    }
  }
  if (!ackWait()) {
    std::printf("\nACK NOT received  Changing Baud RAte!!");
    return kFdtFailed;
  }

  // The line follows in place, without a reopen.
  if (!link_.setBaudRate(115200)) {
    std::printf("Failed to change baud rate : error %ld\n", static_cast<long>(link_.lastError()));
    return kFdtFailed;
  }

  Sleep(50);
  if (!send(kAck)) {
    std::printf("\nError doesn't write9");
    return kFdtFailed;
  }
  if (!ackWait()) {
    std::printf("\nACK NOT  received  Baud Rate !!!!");
    return kFdtFailed;
  }
  Sleep(1000);

  if (!send(0x40)) {
    std::printf("\nError doesn't write10");
    return kFdtFailed;
  }
  if (!ackWait()) {
    std::printf("\nACK NOT  received   Finish Data Set !!!!");
    return kFdtFailed;
  }
  std::printf("OK");
  return kGoOn;
}

// Stage D: the main kernel at 115200 bit/s, without echo.
int BootProgrammer::stageMainKernel() {
  std::printf("\n->SENDING MAIN KERNEL...");
  std::size_t length = 0;
  if (!loadKernel(kMainKernelFile, &length)) return kFdtFailed;

  const unsigned char lengthBytes[4] = {0x00, 0x00, static_cast<unsigned char>(length >> 8),
                                        static_cast<unsigned char>(length & 0xFF)};
  for (unsigned char b : lengthBytes) {
    if (!send(b)) {
      std::printf("\nError doesn't write11");
      return kFdtFailed;
    }
    Sleep(10);
  }
  Sleep(100);
  for (std::size_t i = 0; i < length; ++i) {
    if (!send(kernel_[i])) {
      std::printf("\nError doesn't write12");
      return kFdtFailed;
    }
  }
  const uint8_t sum = kernelSum(kernel_, length, kMainKernelConstant);
  Sleep(2000);
  if (!send(sum)) {
    std::printf("\nError doesn't write13");
    return kFdtFailed;
  }
  unsigned char last = kSentinel;
  if (!ackWait(3000, &last)) {
    std::printf("\nACK NOT received MAIN KERNEL ..%x", last);
    return kFdtFailed;
  }
  std::printf("OK");
  return stageStatusAndArea();
}

// Status inquiry 0x4F: five bytes within 10000 ms.
bool BootProgrammer::statusInquiry(const char* writeError, const char* timeoutError) {
  if (!send(0x4F)) {
    std::printf("%s", writeError);
    return false;
  }
  if (!collect(5, deadlineIn(10000))) {
    std::printf("%s", timeoutError);
    return false;
  }
  return true;
}

// Stage E: the main kernel's status, then the user flash area.
int BootProgrammer::stageStatusAndArea() {
  std::printf("\n->Set PARAMETERS...");
  Sleep(1000);
  if (!statusInquiry("\nError doesn't write14", "\nTime Out 7")) return kFdtFailed;
  if (answer_[4] != expectedStatusSum()) {
    std::printf("Error checking sum %02x ....%02x", answer_[4], expectedStatusSum());
    return kFdtFailed;
  }
  if (!statusIs(0x03)) {
    std::printf("\nError 3");
    return kFdtFailed;
  }
  Sleep(1000);
  if (!send(0x43)) {
    std::printf("\nError doesn't write15");
    return kFdtFailed;
  }
  if (!ackWait()) {
    std::printf("\nACK NOT RECEIVE PrepareUser");
    return kFdtFailed;
  }
  std::printf("OK");
  return kGoOn;
}

// Stage F: the write kernel.  A missing acknowledgement is reported and
// passed over.
int BootProgrammer::stageWriteKernel() {
  std::size_t length = 0;
  if (!loadKernel(kWriteKernelFile, &length)) return kFdtFailed;
  const uint32_t length32 = static_cast<uint32_t>(length);
  for (int shift = 24; shift >= 0; shift -= 8) {
    send(static_cast<uint8_t>(length32 >> shift));
    Sleep(10);
  }
  for (std::size_t i = 0; i < length; ++i) {
    if (!send(kernel_[i])) {
      std::printf("\nError doesn't write16");
      return kFdtFailed;
    }
  }
  const uint8_t sum = kernelSum(kernel_, length, kWriteKernelConstant);
  Sleep(10);
  if (!send(sum)) {
    std::printf("\nError doesn't write17");
    return kFdtFailed;
  }
  if (!ackWait()) std::printf("\nACK NOT received  FDTWrite ");
  return kGoOn;
}

// Stages G and H: the application image in 128-byte write blocks.
int BootProgrammer::stageImage() {
  std::printf("\n->WRITING .MOT FILE  TO FLASH MEMORY...\n");
  OpenFile image(kMicroImageFile);
  if (!image.get()) {
    std::printf("/nFile load error\n");
    return kFdtFailed;
  }
  SRecordReader reader(image.get());
  uint32_t address = 0;
  unsigned char block[kBlockBufferSize];

  // First phase: eight blocks at 0x000..0x380, 5 ms after each command and
  // address byte.
  while (address <= 0x3FF) {
    const DWORD deadline = deadlineIn(5000);
    for (;;) {
      reader.readline16(block);
      if (reader.blockComplete()) break;
      if (deadlinePassed(deadline)) {
        std::printf("ErrorReading line");
        return kFdtFailed;
      }
    }
    reader.clearBlockComplete();
    const uint8_t sum = writeBlockSum(address, block);
    send(kWriteCommand);
    Sleep(5);
    for (int shift = 24; shift >= 0; shift -= 8) {
      send(static_cast<uint8_t>(address >> shift));
      Sleep(5);
    }
    for (int j = 0; j < 128; ++j) {
      if (!send(block[j])) {
        std::printf("\nError doesn't write18");
        return kFdtFailed;
      }
    }
    if (!send(sum)) {
      std::printf("\nError doesn't write19");
      return kFdtFailed;
    }
    if (!ackWait()) {
      std::printf("\nACK NOT received  :( ");
      return kFdtFailed;
    }
    address += 128;
  }

  Sleep(1000);
  if (!statusInquiry("\nError doesn't write20", "\nTime Out 8")) return kFdtFailed;
  // A wrong sum byte here is reported and passed over.
  if (answer_[4] != expectedStatusSum())
    std::printf("Error checking sum BINARY%02x ....%02x", answer_[4], expectedStatusSum());
  if (!statusIs(0x04)) {
    std::printf("\nError 4");
    return kFdtFailed;
  }

  // Second phase: everything up to the terminating record, from 0x800 on.
  std::vector<unsigned char> largeBlock(kDataBlockSize);
  uint32_t length = 0;
  address = 0x800;
  const DWORD deadline = deadlineIn(5000);
  for (;;) {
    reader.readblock(largeBlock.data(), &length);
    if (reader.blockComplete()) break;
    if (deadlinePassed(deadline)) {
      std::printf("ErrorReading line");
      return kFdtFailed;
    }
  }
  reader.clearBlockComplete();
  if (length > kDataBlockSize) {
    std::printf("\nError...File .mot too large");
    return kFdtFailed;
  }
  // The last block is completed with erased-flash bytes.
  for (uint32_t f = length; f < kDataBlockSize && f % 128 != 0; ++f) largeBlock[f] = 0xFF;

  uint32_t i = 0;
  while (address < 0x800 + length) {
    uint8_t sum = kWriteCommand;
    send(kWriteCommand);
    for (int shift = 24; shift >= 0; shift -= 8) {
      const uint8_t b = static_cast<uint8_t>(address >> shift);
      send(b);
      sum = static_cast<uint8_t>(sum + b);
    }
    for (int j = 0; j < 128; ++j) {
      if (!send(largeBlock[i])) {
        std::printf("\nError doesn't write21");
        return kFdtFailed;
      }
      sum = static_cast<uint8_t>(sum + largeBlock[i]);
      ++i;
      double percent = static_cast<double>(i) * 100 / length - 0.05;
      if (percent > 100) percent = 100;  // the filler bytes of the last block
      std::printf(" %cJob at %0.2f %c", 13, percent, '%');
    }
    if (!send(static_cast<uint8_t>(0 - sum))) {
      std::printf("\nError doesn't write9");
      return kFdtFailed;
    }
    if (!ackWait()) {
      std::printf("\nACK NOT received  :( ");
      return kFdtFailed;
    }
    address += 128;
  }
  std::printf("%cJob at 100 %c      ", 13, '%');
  std::printf("\n%cOK", 13);
  std::printf("\nEND...REBOOT THE DEVICE!\n");
  return kFdtDone;
}

int BootProgrammer::run() {
  int result = stageMatching();
  if (result != kGoOn) return result;
  result = stageMicroKernel();
  if (result != kGoOn) return result;
  result = stageMainKernel();
  if (result != kGoOn) return result;
  result = stageWriteKernel();
  if (result != kGoOn) return result;
  return stageImage();
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

int FDT(SerialLink& link, bool bootMetSilentBefore) {
  BootProgrammer programmer(link, bootMetSilentBefore);
  return programmer.run();
}
