// Mode VERIFY: reads a flash device of the video processor back and counts
// the 16-bit words that differ from an image.
#include <cstdint>
#include <cstdio>

#include "common/elapsed.h"
#include "common/progress_line.h"
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
  // Words left out would never be compared.  (Only the length is checked
  // here, as for device 1: a short image is compared as far as it goes.)
  if (image.tooLong() && !imageFitsDevice(filename, image.size(), true, 1)) return failureEnd();
  const DWORD size = image.size();

  drainIspInput(link, kDrainLimitMs);
  const DWORD begin = GetTickCount();

  if (!validDevice(device)) {
    std::printf("Invalid device ID %d\n", device);
    return failureEnd();
  }

  // Only words that start inside the file count, and only from whole,
  // well-formed read answers: a block is compared once it was read.
  ProgressPace pace;
  const auto compareBlock = [&](DWORD addr, const uint16_t* words) {
    for (int i = 0; i < kBlockWords; ++i) {
      const DWORD at = addr + 2 * static_cast<DWORD>(i);
      if (at < size && words[i] != image.word(at)) ++mismatch;
    }
    if (mismatchTotal != nullptr) *mismatchTotal = mismatch;
    if (pace.due(addr, size))
      std::printf("%s --- Mismatch Total %d",
                  progressLine(static_cast<double>(addr) / size * 100).c_str(),
                  static_cast<int>(mismatch));
    return true;
  };
  switch (readDevice(link, device, size, compareBlock)) {
    case ReadOut::Done: break;
    case ReadOut::Failed: return failureEnd();
    case ReadOut::DeviceNotSet: return -1;
  }

  std::printf("%s%% ----- Mismatch Total %d \t\t\t\t", kProgressComplete,
              static_cast<int>(mismatch));
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

bool verifyWrittenDevice(SerialLink& link, const char* fileName, int device) {
  std::printf("\nVerifying %s ...\n", fileName);
  unsigned long mismatches = 0;
  if (verify(link, fileName, device, &mismatches) != 0) return false;  // it said why
  if (mismatches == 0) return true;
  std::printf("Verify failed : %lu words of device %d differ from %s.\n", mismatches, device,
              fileName);
  failureEnd();
  return false;
}
