// Mode VERIFY: reads a flash device of the video processor back and counts
// the 16-bit words that differ from an image.
#include <cstdint>
#include <cstdio>

#include "common/elapsed.h"
#include "common/progress_line.h"
#include "isp/isp_message.h"
#include "isp/isp_transaction.h"
#include "jobs/flash_job.h"
#include "jobs/job_findings.h"
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

// The trace names each differing word, up to a bound that keeps the trace
// of a device read back against the wrong image readable; the total is on
// the console either way.
constexpr unsigned long kTracedMismatches = 4096;

void noteMismatch(SerialLink& link, DWORD at, uint16_t read, uint16_t expected,
                  unsigned long count) {
  if (!link.tracing() || count > kTracedMismatches) return;
  if (count == kTracedMismatches)
    link.notef("verify: word at 0x%06lX reads %04X, the image has %04X; further differences are "
               "counted, not listed",
               static_cast<unsigned long>(at), read, expected);
  else
    link.notef("verify: word at 0x%06lX reads %04X, the image has %04X",
               static_cast<unsigned long>(at), read, expected);
}

// "0x000100, 0x000102": the first differing words, by byte address.
void printFirstMismatches(const MismatchRecord& record) {
  std::printf("First differing words at");
  for (int i = 0; i < record.listed; ++i)
    std::printf("%s 0x%06lX", i == 0 ? "" : ",", static_cast<unsigned long>(record.first[i]));
  std::printf("%s\n", record.count > static_cast<unsigned long>(record.listed) ? ", ..." : ".");
}

}  // namespace

int verify(SerialLink& link, const char* filename, int device, unsigned long* mismatchTotal) {
  return verify(link, filename, device, mismatchTotal, nullptr);
}

int verify(SerialLink& link, const char* filename, int device, unsigned long* mismatchTotal,
           MismatchRecord* record) {
  unsigned long mismatch = 0;
  if (mismatchTotal != nullptr) *mismatchTotal = 0;

  FlashImage image;
  if (!image.load(filename)) return failureEnd();
  // Words left out would never be compared, words past the device's end
  // never read, and an empty image compares nothing.  (Only the length is
  // checked here: a short image is compared as far as it goes.)
  if ((image.tooLong() || image.size() == 0 || image.size() > flashDeviceSize(device)) &&
      !imageFitsDevice(filename, image.size(), image.tooLong(), device))
    return failureEnd();
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
      if (at < size && words[i] != image.word(at)) {
        ++mismatch;
        noteMismatch(link, at, words[i], image.word(at), mismatch);
        if (record != nullptr) record->add(at);
      }
    }
    if (mismatchTotal != nullptr) *mismatchTotal = mismatch;
    if (pace.due(addr, size)) {
      printProgress(link.progressSink(), static_cast<double>(addr) / size * 100);
      std::printf(" --- Mismatch Total %d", static_cast<int>(mismatch));
    }
    return true;
  };
  switch (readDevice(link, device, size, compareBlock)) {
    case ReadOut::Done: break;
    case ReadOut::Failed: return failureEnd();
    case ReadOut::DeviceNotSet: return -1;
  }

  printProgressComplete(link.progressSink(), "");
  std::printf("%% ----- Mismatch Total %d \t\t\t\t", static_cast<int>(mismatch));
  std::printf("\n");
  printTime(begin, 1);
  if (mismatchTotal != nullptr) *mismatchTotal = mismatch;
  return 0;
}

Outcome ProgramVerify(SerialLink& link, int device, const char* fileName,
                      JobFindings* findings) {
  unsigned long mismatches = 0;
  MismatchRecord record;
  const int result = verify(link, fileName, device, &mismatches, &record);
  if (result == 0 && findings != nullptr) {
    findings->compared = true;
    findings->mismatches = record;
  }
  return result == 0 && mismatches == 0 ? Outcome::Success : Outcome::Failure;
}

bool verifyWrittenDevice(SerialLink& link, const char* fileName, int device,
                         JobFindings* findings) {
  std::printf("\nVerifying %s ...\n", fileName);
  unsigned long mismatches = 0;
  MismatchRecord record;
  const int result = verify(link, fileName, device, &mismatches, &record);
  if (findings != nullptr) {
    if (result == 0) {
      findings->compared = true;
      findings->mismatches = record;
    }
    if (result != 0 || mismatches != 0) findings->failedStep = "verify";
  }
  if (result != 0) return false;  // it said why
  if (mismatches == 0) return true;
  std::printf("Verify failed : %lu words of device %d differ from %s.\n", mismatches, device,
              fileName);
  printFirstMismatches(record);
  failureEnd();
  return false;
}
