// Mode VERIFY: reads a flash device of the video processor back and counts
// the 16-bit words that differ from an image.
#include <cstdint>
#include <cstdio>

#include "common/elapsed.h"
#include "isp/isp_message.h"
#include "isp/isp_transaction.h"
#include "jobs/flash_job.h"
#include "jobs/modes.h"
#include "link/serial_link.h"
#include "platform/win32.h"

namespace {

constexpr DWORD kDrainLimitMs = 5000;

int failureEnd() {
  std::printf("Press a key to continue ... ");
  _getch();
  return -1;
}

bool validDevice(int device) { return device >= 1 && device <= 7 && device != 6; }

}  // namespace

int verify(SerialLink& link, const char* filename, int device, unsigned long* mismatchTotal) {
  unsigned long mismatch = 0;
  if (mismatchTotal != nullptr) *mismatchTotal = 0;

  FlashImage image;
  if (!image.load(filename)) return failureEnd();
  const DWORD size = image.size();

  drainIspInput(link, kDrainLimitMs);
  const DWORD begin = GetTickCount();

  if (!validDevice(device)) {
    std::printf("Invalid device ID %d\n", device);
    return failureEnd();
  }
  if (sendIspMode(link, kIspReadBack, device, 0, size, 0) != IspResult::Accepted) {
    std::printf("Unable to send cmd.\n");
    return failureEnd();
  }
  std::printf("Setting ISP Mode...\n");
  uint16_t statusMsg[kIspMaxWords] = {};
  uint16_t statusAnswer[kIspMaxWords] = {};
  if (sendModeStatus(link, statusMsg, statusAnswer) != IspResult::Accepted) {
    std::printf("Unable to send cmd.\n");
    return failureEnd();
  }
  if ((statusAnswer[1] & 0xFF) != static_cast<unsigned>(device)) {
    std::printf("Device not setted !\n");
    return -1;
  }

  BlockPhase phase;
  phase.device = device;
  phase.operation = kIspReadBack;
  phase.begin = 0;
  phase.end = size;
  phase.maxReentries = kUnlimitedReentries;

  uint16_t answer[kIspMaxWords] = {};
  const auto readBlock = [&](DWORD) {
    uint16_t msg[kIspMaxWords] = {kFlashReadRequest, 0};
    if (sendISPCmd(link, msg, answer, 0) != IspResult::Accepted) return BlockResult::Refused;
    if (ispId(answer[0]) == kReadAnswerId) return BlockResult::Accepted;
    // Another answer: ask for the status and read the block again, without
    // re-entering read-back mode.
    std::printf("\nBad Response - %04x ", static_cast<unsigned>(ispId(answer[0])));
    if (sendModeStatus(link, statusMsg, statusAnswer) != IspResult::Accepted) {
      std::printf("Unable to send cmd.\n");
      return BlockResult::Failed;
    }
    return BlockResult::Again;
  };

  // Only the words that start inside the file count; a short answer moves
  // the bound by what it carried.
  unsigned long received = 0;
  unsigned progressLines = 0;
  const auto compareBlock = [&](DWORD addr) {
    const int dataWords = ispCount(answer[0]) + 1;
    for (int i = 0; i < dataWords; ++i) {
      const unsigned long at = 2UL * static_cast<unsigned long>(i) + received;
      if (at < size && answer[1 + i] != image.word(addr + 2 * i)) ++mismatch;
    }
    received += 2UL * static_cast<unsigned long>(dataWords);
    if (mismatchTotal != nullptr) *mismatchTotal = mismatch;

    if ((size / 5000) * progressLines < addr) {
      std::printf("%cJob at %0.2f %c --- Mismatch Total %d", 13,
                  static_cast<double>(addr) / size * 100, '%', static_cast<int>(mismatch));
      ++progressLines;
    }
  };
  if (!sendBlocks(link, phase, readBlock, compareBlock)) return failureEnd();

  std::printf("%cJob at 100%% ----- Mismatch Total %d \t\t\t\t", 13, static_cast<int>(mismatch));
  std::printf("\n");
  printTime(begin, 1);
  if (mismatchTotal != nullptr) *mismatchTotal = mismatch;
  return 0;
}

Outcome ProgramVerify(SerialLink& link, int device, const char* fileName) {
  unsigned long mismatches = 0;
  const int result = verify(link, fileName, device, &mismatches);
  return result == 0 && mismatches == 0 ? Outcome::Success : Outcome::Failure;
}
