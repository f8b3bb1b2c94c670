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
// Every byte goes in its own write; behind a console server the bytes of a
// kernel or a block reach the server a few at a time (SerialLink::Burst),
// and the line carries them back to back all the same.  The matching
// knocks and the erase report are single reads under the link's polling
// time-outs (about 1 ms when nothing comes), which set the pace of the
// knocks; every other wait ends at its deadline on the tick counter.
#include "boot/boot_programmer.h"

#include <cstdio>

#include "common/progress_line.h"
#include "common/ticks.h"

namespace fdt {

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
  const ScopedFile kernel = openUpdateFile(name);
  if (!kernel) return false;
  *length = std::fread(kernel_, 1, sizeof kernel_, kernel.get());
  return true;
}

bool BootProgrammer::sendKernel(std::size_t length, uint8_t constant, DWORD checkMs,
                                const char* byteError, const char* sumError) {
  SerialLink::Burst burst(link_);
  for (std::size_t i = 0; i < length; ++i)
    if (!sendOr(kernel_[i], byteError)) return false;
  if (!endOr(burst, byteError)) return false;
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
  SerialLink::Burst burst(link_);  // the data and the sum byte
  for (uint32_t j = 0; j < kBlockBytes; ++j) {
    if (!sendOr(data[j], phase.dataWriteError)) return false;
    if (progress == nullptr) continue;
    ++progress->sent;
    double percent = static_cast<double>(progress->sent) * 100 / progress->length - 0.05;
    if (percent > 100) percent = 100;  // the filler bytes of the last block
    printProgress(link_.progressSink(), percent, " ");
  }
  if (!sendOr(writeBlockSum(address, data), phase.sumWriteError)) return false;
  if (!endOr(burst, phase.sumWriteError)) return false;
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

}  // namespace fdt

using fdt::kWriteCommand;

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
  fdt::BootProgrammer programmer(link, bootMetSilentBefore);
  return programmer.run();
}
