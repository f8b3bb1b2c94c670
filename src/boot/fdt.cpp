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
// Every byte goes in its own write; every wait polls ReadFile (which returns
// within about 1 ms) against a deadline on the tick counter.
#include "boot/fdt.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "boot/boot_mode.h"
#include "boot/srecord_reader.h"
#include "common/ticks.h"
#include "link/serial_port.h"

namespace {

// How often this run met a silent boot program: the first time, an old
// firmware may be running and the caller gets kFdtBootSilent; from then on
// the programmer waits for the rebooted card without limit.
int flag = 0;

constexpr uint8_t kAck = 0x06;
constexpr uint8_t kSentinel = 0x66;  // no awaited answer has this value
constexpr uint8_t nByteWrite = 0x50;  // write-block command
constexpr uint16_t SUM = 256;         // the status answers' sum bytes complete 256

// A file opened for one stage, closed when the stage (or a failure) leaves.
class OpenFile {
 public:
  explicit OpenFile(const char* name) : f_(std::fopen(name, "rb")) {}
  ~OpenFile() { close(); }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  FILE* get() const { return f_; }
  void close() {
    if (f_) std::fclose(f_);
    f_ = nullptr;
  }

 private:
  FILE* f_;
};

class BootProgrammer {
 public:
  BootProgrammer(HANDLE port, DCB dcb) : port_(port), dcb_(dcb) {}
  int run();

 private:
  bool send(uint8_t b);
  // Reads one byte into ReadBuf[at]; true when one came.
  bool readOne(std::size_t at = 0);
  // Reads until the byte `expected` has been received or the deadline passes.
  bool readUntil(uint8_t expected, DWORD deadline);
  // Collects `n` bytes into ReadBuf; false when the deadline passes first.
  bool collect(std::size_t n, DWORD deadline);
  // 0x06 within 7000 ms; other bytes do not end the wait.
  bool ackWait();
  // The stages return kGoOn, or the result FDT returns at once.
  int stageMatching();
  int stageMicroKernel();
  int stageParameters();
  int stageMainKernel();
  int stageStatusAndArea();
  void stageWriteKernel(bool* failed);
  int stageImage();
  bool statusInquiry(const char* writeError, const char* timeoutError);

  HANDLE port_;
  DCB dcb_;
  unsigned char WriteBuf[5000];
  unsigned char ReadBuf[4000];
  uint16_t maxAddr = 0;
  uint8_t checksum = 0;
  int retry = 0;
};

// Result of a stage: go on, or return this value from FDT.
constexpr int kGoOn = -1;

bool BootProgrammer::send(uint8_t b) {
  DWORD written = 0;
  lrc = WriteFile(port_, &b, 1, &written, nullptr);
  return lrc != FALSE && written == 1;
}

bool BootProgrammer::readOne(std::size_t at) {
  lnumbytes = 0;
  ReadFile(port_, &ReadBuf[at], 1, &lnumbytes, nullptr);
  return lnumbytes == 1;
}

bool BootProgrammer::readUntil(uint8_t expected, DWORD deadline) {
  for (;;) {
    if (readOne() && ReadBuf[0] == expected) return true;
    if (deadlinePassed(deadline)) return false;
  }
}

bool BootProgrammer::collect(std::size_t n, DWORD deadline) {
  std::size_t got = 0;
  while (got < n) {
    lnumbytes = 0;
    ReadFile(port_, &ReadBuf[got], static_cast<DWORD>(n - got), &lnumbytes, nullptr);
    got += lnumbytes;
    if (got < n && deadlinePassed(deadline)) return false;
  }
  return true;
}

bool BootProgrammer::ackWait() {
  ReadBuf[0] = kSentinel;
  readOne();
  const DWORD deadline = deadlineIn(7000);
  while (!deadlinePassed(deadline) && ReadBuf[0] != kAck) readOne();
  return ReadBuf[0] == kAck;
}

// Stage A: 0x00 bytes until the boot program answers 0x00 (it has measured
// the bit rate), then 0x55, answered by 0xAA.
int BootProgrammer::stageMatching() {
  std::printf("\n->CHECKING COMMUNICATION WITH SH2...");
  for (;;) {
    DWORD deadline = deadlineIn(10000);
    lnumbytes = 0;
    ReadBuf[0] = kSentinel;
    for (;;) {
      if (!send(0x00)) {
        std::printf("\nUnable to write on the COM port\nCheck if the jumpers are at the right place");
        return kFdtFailed;
      }
      if (readOne() && ReadBuf[0] == 0x00) break;
      if (deadlinePassed(deadline)) {
        if (flag == 0) {
          std::printf(
              "\nTime Out...No communication with Boot Program...Maybe there's an old "
              "firmware...");
          std::printf("\nNow Calling the function to check the version of the firmware...");
          ++flag;
          return kFdtBootSilent;
        }
        // The card must be rebooted into boot mode: keep knocking until it
        // answers, reminding the operator at every pass.
        std::printf(
            "\nTime out...No old firmware...No communication..Reboot the card and try again...");
        std::printf("\nBe sure that the jumpers for the RS-232 commmunications are at the right place");
      }
    }

    if (!send(0x55)) {
      std::printf("\nError doesn't write2");
      return kFdtFailed;
    }
    deadline = deadlineIn(2000);
    bool answered = readOne() && ReadBuf[0] == 0xAA;
    bool again = false;
    while (!answered) {
      if (deadlinePassed(deadline)) {
        std::printf("\nTime Out...Retry...");
        ++retry;
        again = true;
        break;
      }
      if (retry > 4) return kFdtFailed;
      answered = readOne() && ReadBuf[0] == 0xAA;
    }
    if (!again) break;
  }
  std::printf("OK");
  return kGoOn;
}

// Stage B: the micro kernel, its length and every byte echoed by the boot
// program, which then reports 0xAA and the result of erasing the flash.
int BootProgrammer::stageMicroKernel() {
  std::printf("\n->SENDING MICRO KERNEL...\n");
  OpenFile kernel("uGen7144.cde");
  if (!kernel.get()) {
    std::printf("/nFile load error\n");
    return kFdtFailed;
  }
  std::rewind(kernel.get());
  maxAddr = static_cast<uint16_t>(std::fread(WriteBuf, 1, 4000, kernel.get()));

  uint16_t byte[10];
  byte[0] = static_cast<uint16_t>(maxAddr >> 8);
  byte[1] = static_cast<uint16_t>(maxAddr & 0xFF);
  if (!send(static_cast<uint8_t>(byte[0]))) {
    std::printf("\nError doesn't write3");
    return kFdtFailed;
  }
  if (!readUntil(static_cast<uint8_t>(byte[0]), deadlineIn(5000))) {
    std::printf("\nTime Out1");
    return kFdtFailed;
  }
  if (!send(static_cast<uint8_t>(byte[1]))) {
    std::printf("\nError doesn't write4");
    return kFdtFailed;
  }
  if (!readUntil(static_cast<uint8_t>(byte[1]), deadlineIn(5000))) {
    std::printf("\nTime Out 2");
    return kFdtFailed;
  }

  for (uint16_t i = 0; i < maxAddr; ++i) {
    const DWORD deadline = deadlineIn(5000);
    if (!send(WriteBuf[i])) {
      std::printf("\nError doesn't write5");
      return kFdtFailed;
    }
    while (!readOne(i)) {
      if (deadlinePassed(deadline)) {
        std::printf("\nTime Out 3");
        return kFdtFailed;
      }
    }
    if (ReadBuf[i] != WriteBuf[i]) {
      std::printf("Error during  validation  byte");
      return kFdtFailed;
    }
    std::printf("%cJob at %0.2f %c", 13, static_cast<double>(i) * 100 / maxAddr + 0.05, '%');
  }
  std::printf("%cJob at 100 %c     ", 13, '%');

  ReadBuf[0] = kSentinel;
  if (!readUntil(0xAA, deadlineIn(5000))) {
    std::printf("\nTime Out 4");
    return kFdtFailed;
  }
  std::printf("\n%cOK", 13);

  // The erase report follows at once; none at all lets the call go on.
  if (readOne() && ReadBuf[0] == 0xFF) {
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
  if (std::memcmp(ReadBuf, kInquiryAnswer, 5) != 0) {
    std::printf("\nError 2");
    return kFdtFailed;
  }

  // Let whatever else the kernel says die away.
  Sleep(1000);
  lnumbytes = 0;
  ReadFile(port_, ReadBuf, 100, &lnumbytes, nullptr);
  const DWORD quiet = deadlineIn(5000);
  while (lnumbytes > 0) {
    if (deadlinePassed(quiet)) {
      std::printf("\nTime Out 6");
      return kFdtFailed;
    }
    lnumbytes = 0;
    ReadFile(port_, ReadBuf, 100, &lnumbytes, nullptr);
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

  // The line follows in place; the caller's settings keep their rate.
  dcb_.BaudRate = 115200;
  lrc = SetCommState(port_, &dcb_);
  if (!lrc) {
    std::printf("Failed to change baud rate : error %ld\n", static_cast<long>(GetLastError()));
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
  OpenFile kernel("Genm7144.cde");
  if (!kernel.get()) {
    std::printf("/nFile load error\n");
    return kFdtFailed;
  }
  std::rewind(kernel.get());
  maxAddr = static_cast<uint16_t>(std::fread(WriteBuf, 1, 4000, kernel.get()));

  const unsigned char length[4] = {0x00, 0x00, static_cast<unsigned char>(maxAddr >> 8),
                                   static_cast<unsigned char>(maxAddr & 0xFF)};
  for (unsigned char b : length) {
    if (!send(b)) {
      std::printf("\nError doesn't write11");
      return kFdtFailed;
    }
    Sleep(10);
  }
  Sleep(100);
  for (uint16_t i = 0; i < maxAddr; ++i) {
    if (!send(WriteBuf[i])) {
      std::printf("\nError doesn't write12");
      return kFdtFailed;
    }
    checksum = static_cast<uint8_t>(checksum + WriteBuf[i]);
  }
  checksum = static_cast<uint8_t>(0 - (checksum + kMainKernelConstant));
  Sleep(2000);
  if (!send(checksum)) {
    std::printf("\nError doesn't write13");
    return kFdtFailed;
  }
  const DWORD deadline = deadlineIn(3000);
  ReadBuf[0] = kSentinel;
  while (!deadlinePassed(deadline) && ReadBuf[0] != kAck) readOne();
  if (ReadBuf[0] != kAck) {
    std::printf("\nACK NOT received MAIN KERNEL ..%x", ReadBuf[0]);
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
  ReadBuf[0] = kSentinel;
  lnumbytes = 0;
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
  const int expected = SUM - (ReadBuf[0] + ReadBuf[1] + ReadBuf[2] + ReadBuf[3]);
  if (ReadBuf[4] != expected) {
    std::printf("Error checking sum %02x ....%02x", ReadBuf[4], expected);
    return kFdtFailed;
  }
  if (ReadBuf[0] != 0x5F || ReadBuf[1] != 0x02 || ReadBuf[2] != 0x03 || ReadBuf[3] != 0x00) {
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
void BootProgrammer::stageWriteKernel(bool* failed) {
  *failed = true;
  OpenFile kernel("Genw7144.cde");
  if (!kernel.get()) {
    std::printf("/nFile load error\n");
    return;
  }
  std::rewind(kernel.get());
  const uint32_t sizeBinary = static_cast<uint32_t>(std::fread(WriteBuf, 1, 4000, kernel.get()));
  for (int shift = 24; shift >= 0; shift -= 8) {
    send(static_cast<uint8_t>(sizeBinary >> shift));
    Sleep(10);
  }
  checksum = 0;
  for (uint32_t i = 0; i < sizeBinary; ++i) {
    if (!send(WriteBuf[i])) {
      std::printf("\nError doesn't write16");
      return;
    }
    checksum = static_cast<uint8_t>(checksum + WriteBuf[i]);
  }
  checksum = static_cast<uint8_t>(0 - (checksum + kWriteKernelConstant));
  Sleep(10);
  if (!send(checksum)) {
    std::printf("\nError doesn't write17");
    return;
  }
  if (!ackWait()) std::printf("\nACK NOT received  FDTWrite ");
  *failed = false;
}

// Stages G and H: the application image in 128-byte write blocks.
int BootProgrammer::stageImage() {
  std::printf("\n->WRITING .MOT FILE  TO FLASH MEMORY...\n");
  OpenFile image("appMain.mot");
  if (!image.get()) {
    std::printf("/nFile load error\n");
    return kFdtFailed;
  }
  FILE* fd = image.get();
  std::rewind(fd);
  resetReaders();
  checksum = 0;
  uint32_t adress = 0;
  unsigned char Data[kBlockBufferSize];

  // First phase: eight blocks at 0x000..0x380, 5 ms after each command and
  // address byte.
  while (adress <= 0x3FF) {
    const DWORD deadline = deadlineIn(5000);
    for (;;) {
      readline16(fd, Data);
      if (checkReadLine == 1) break;
      if (deadlinePassed(deadline)) {
        std::printf("ErrorReading line");
        return kFdtFailed;
      }
    }
    checkReadLine = 0;
    checksum = writeBlockSum(adress, Data);
    send(nByteWrite);
    Sleep(5);
    for (int shift = 24; shift >= 0; shift -= 8) {
      send(static_cast<uint8_t>(adress >> shift));
      Sleep(5);
    }
    for (int j = 0; j < 128; ++j) {
      if (!send(Data[j])) {
        std::printf("\nError doesn't write18");
        return kFdtFailed;
      }
    }
    if (!send(checksum)) {
      std::printf("\nError doesn't write19");
      return kFdtFailed;
    }
    if (!ackWait()) {
      std::printf("\nACK NOT received  :( ");
      return kFdtFailed;
    }
    adress += 128;
  }

  Sleep(1000);
  if (!statusInquiry("\nError doesn't write20", "\nTime Out 8")) return kFdtFailed;
  const int expected = SUM - (ReadBuf[0] + ReadBuf[1] + ReadBuf[2] + ReadBuf[3]);
  if (ReadBuf[4] != expected)
    std::printf("Error checking sum BINARY%02x ....%02x", ReadBuf[4], expected);
  if (ReadBuf[0] != 0x5F || ReadBuf[1] != 0x02 || ReadBuf[2] != 0x04 || ReadBuf[3] != 0x00) {
    std::printf("\nError 4");
    return kFdtFailed;
  }

  // Second phase: everything up to the terminating record, from 0x800 on.
  std::vector<unsigned char> DataBlock(kDataBlockSize);
  uint32_t BlockLength = 0;
  adress = 0x800;
  const DWORD deadline = deadlineIn(5000);
  for (;;) {
    readblock(fd, DataBlock.data(), &BlockLength);
    if (checkReadLine == 1) break;
    if (deadlinePassed(deadline)) {
      std::printf("ErrorReading line");
      return kFdtFailed;
    }
  }
  checkReadLine = 0;
  if (BlockLength > kDataBlockSize) {
    std::printf("\nError...File .mot too large");
    return kFdtFailed;
  }
  // The last block is completed with erased-flash bytes.
  for (uint32_t f = BlockLength; f < kDataBlockSize && f % 128 != 0; ++f) DataBlock[f] = 0xFF;

  uint32_t i = 0;
  while (adress < 0x800 + BlockLength) {
    uint8_t sum = nByteWrite;
    send(nByteWrite);
    for (int shift = 24; shift >= 0; shift -= 8) {
      const uint8_t b = static_cast<uint8_t>(adress >> shift);
      send(b);
      sum = static_cast<uint8_t>(sum + b);
    }
    for (int j = 0; j < 128; ++j) {
      if (!send(DataBlock[i])) {
        std::printf("\nError doesn't write21");
        return kFdtFailed;
      }
      sum = static_cast<uint8_t>(sum + DataBlock[i]);
      ++i;
      double percent = static_cast<double>(i) * 100 / BlockLength - 0.05;
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
    adress += 128;
  }
  std::printf("%cJob at 100 %c      ", 13, '%');
  std::printf("\n%cOK", 13);
  std::printf("\nEND...REBOOT THE DEVICE!\n");
  return kFdtDone;
}

int BootProgrammer::run() {
  int r = stageMatching();
  if (r != kGoOn) return r;
  r = stageMicroKernel();
  if (r != kGoOn) return r;
  r = stageMainKernel();
  if (r != kGoOn) return r;
  bool failed = false;
  stageWriteKernel(&failed);
  if (failed) return kFdtFailed;
  return stageImage();
}

}  // namespace

uint8_t writeBlockSum(uint32_t address, const unsigned char* data) {
  uint8_t sum = nByteWrite;
  for (int shift = 24; shift >= 0; shift -= 8) sum = static_cast<uint8_t>(sum + (address >> shift));
  for (int j = 0; j < 128; ++j) sum = static_cast<uint8_t>(sum + data[j]);
  return static_cast<uint8_t>(0 - sum);
}

uint8_t kernelSum(const unsigned char* bytes, std::size_t n, uint8_t constant) {
  uint8_t sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  return static_cast<uint8_t>(0 - (sum + constant));
}

void resetBootModeRun() {
  flag = 0;
  resetReaders();
}

bool changebaudrate(HANDLE& port, DCB& dcb, COMMTIMEOUTS& timeouts, const char* fullPortName,
                    DWORD baud) {
  CloseHandle(port);
  port = CreateFileA(fullPortName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                     nullptr);
  if (port == INVALID_HANDLE_VALUE) return false;
  dcb.DCBlength = sizeof(DCB);
  lrc = GetCommState(port, &dcb);
  if (!lrc) {
    std::printf("Failed to get port status : error %ld  \n", static_cast<long>(GetLastError()));
    return false;
  }
  dcb.BaudRate = baud;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fOutX = 0;  // a binary protocol: no XON/XOFF
  dcb.fInX = 0;
  lrc = SetCommState(port, &dcb);
  if (!lrc) {
    std::printf("Failed to set port state : error %ld\n", static_cast<long>(GetLastError()));
    return false;
  }
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
  timeouts.ReadTotalTimeoutConstant = 1;
  timeouts.WriteTotalTimeoutMultiplier = 100;
  timeouts.WriteTotalTimeoutConstant = 0;
  lrc = SetCommTimeouts(port, &timeouts);
  if (!lrc) {
    std::printf("Failed to set timeout : error %ld\n", static_cast<long>(GetLastError()));
    return false;
  }
  return true;
}

int FDT(HANDLE port, DCB dcb, COMMTIMEOUTS timeouts, const char* fullPortName) {
  // The time-outs in force are kept and the port is not reopened: the bit
  // rate changes in place on the copy of the settings.
  (void)timeouts;
  (void)fullPortName;
  BootProgrammer programmer(port, dcb);
  return programmer.run();
}
