#include "jobs/flash_loader.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/elapsed.h"
#include "isp/isp_message.h"
#include "isp/isp_transaction.h"
#include "jobs/flash_job.h"
#include "link/micro_command.h"
#include "link/serial_link.h"
#include "platform/win32.h"

namespace {

constexpr DWORD kDriverBase = 0x800;
constexpr DWORD kDriverEnd = 0x2000;
constexpr DWORD kDriverSpan = 0x1800;
constexpr DWORD kDriverBlock = 16;
constexpr DWORD kHeaderSize = 0x100;  // devices 5 and 7 keep a header there
constexpr int kMaxReentries = 6;      // devices 5 and 7: a block's seventh failure ends the job
constexpr DWORD kDrainLimitMs = 5000;

const unsigned char kSoftResetPrepare[] = "=MP\r";
const unsigned char kSoftReset[] = "=MR\r";
const unsigned char kFlashDone[] = "=MA\r";

// Progress lines of one phase, about 5000 at most whatever its span.
class Progress {
 public:
  void restart() { lines_ = 0; }
  void blockDone(DWORD span, DWORD addr, double percent) {
    if ((span / 5000) * lines_ < addr) {
      std::printf("%cJob at %0.2f %c", 13, percent, '%');
      ++lines_;
    }
  }
  static void complete() { std::printf("%cJob at 100%%\t\t\t\t", 13); }

 private:
  unsigned lines_ = 0;
};

bool softReset(SerialLink& link, const unsigned char* first) {
  return sendMicroCmd(link, first, 4) && sendMicroCmd(link, kSoftReset, 4);
}

// One flash write request: the 32 image bytes from `addr`.
BlockResult sendFlashBlock(SerialLink& link, const FlashImage& image, DWORD addr) {
  uint16_t msg[kIspMaxWords] = {};
  uint16_t response[kIspMaxWords] = {};
  msg[0] = kFlashWriteRequest;
  for (int k = 0; k < 16; ++k) msg[1 + k] = image.word(addr + 2 * k);
  return sendISPCmd(link, msg, response, 0) == IspResult::Accepted ? BlockResult::Accepted
                                                                   : BlockResult::Refused;
}

// Device 0.  True when the driver was loaded and started.
bool loadDriver(SerialLink& link, const FlashImage& image, Progress& progress) {
  uint16_t msg[kIspMaxWords] = {};
  uint16_t response[kIspMaxWords] = {};
  std::printf("Soft Reset...\n");
  if (!softReset(link, kSoftResetPrepare)) return false;
  std::printf("Waiting 5 sec...\n");
  Sleep(5000);
  progress.restart();
  std::printf("Begin Job...\n");
  // Whole 16-byte blocks inside the file only; a refused block ends the load.
  for (DWORD addr = kDriverBase; addr < kDriverEnd && addr + kDriverBlock <= image.size();
       addr += kDriverBlock) {
    std::memset(msg, 0, sizeof msg);
    msg[0] = kDriverWriteRequest;
    msg[1] = static_cast<uint16_t>((addr >> 4) & 0xF000);  // segment
    msg[2] = static_cast<uint16_t>(addr & 0xFFFF);         // offset
    for (int k = 0; k < 8; ++k) msg[3 + k] = image.word(addr + 2 * k);
    if (sendISPCmd(link, msg, response, 0) != IspResult::Accepted) return false;
    progress.blockDone(kDriverSpan, addr,
                       static_cast<double>(addr - kDriverBase) / kDriverSpan * 100);
  }
  Progress::complete();

  std::memset(msg, 0, sizeof msg);
  msg[0] = kDriverCallRequest;
  msg[1] = static_cast<uint16_t>(kDriverBase >> 4);
  msg[2] = 0;
  msg[3] = 0x3300;
  msg[4] = 0;
  std::printf("\nCalling ISP Driver...\n");
  return sendISPCmd(link, msg, response, 1000) == IspResult::Accepted;
}

// Devices 1 to 4: the whole image from address 0, one pass.
bool writeWholeDevice(SerialLink& link, const FlashImage& image, int device,
                      Progress& progress) {
  std::printf("Setting ISP Mode...\n");
  if (sendIspMode(link, kIspProgram, device, 0, image.size(), 15000) != IspResult::Accepted)
    return false;
  progress.restart();
  std::printf("Begin Job...\n");
  BlockPhase phase;
  phase.device = device;
  phase.begin = 0;
  phase.end = image.size();
  phase.maxReentries = kUnlimitedReentries;
  phase.dumpStatus = true;
  const DWORD span = image.size();
  if (!sendBlocks(
          link, phase, [&](DWORD addr) { return sendFlashBlock(link, image, addr); },
          [&](DWORD addr) {
            progress.blockDone(span, addr, static_cast<double>(addr) / span * 100);
          }))
    return false;
  Progress::complete();
  return softReset(link, kFlashDone);
}

enum class PhaseResult { Done, Failed, DeviceNotSet, HeaderRefused };

// Devices 5 and 7: erase, data from 0x100, then the header.
PhaseResult writeDataAndHeader(SerialLink& link, const FlashImage& image, int device,
                               Progress& progress) {
  uint16_t msg[kIspMaxWords] = {};
  uint16_t response[kIspMaxWords] = {};
  std::printf("Setting ISP Mode...\n");
  std::printf("Erasing device...\n");
  if (sendIspMode(link, kIspProgram, device, kHeaderSize, image.size() - kHeaderSize, 20000) !=
      IspResult::Accepted)
    return PhaseResult::Failed;
  if (sendModeStatus(link, msg, response) != IspResult::Accepted) {
    std::printf("Unable to send cmd.\n");
    return PhaseResult::Failed;
  }
  if ((response[1] & 0xFF) != static_cast<unsigned>(device)) {
    std::printf("Device not setted !\n");
    return PhaseResult::DeviceNotSet;
  }
  Sleep(500);
  progress.restart();
  std::printf("Begin Job... Data ..\n");

  BlockPhase data;
  data.device = device;
  data.begin = kHeaderSize;
  data.end = image.size();
  data.maxReentries = kMaxReentries;
  data.dumpStatus = true;
  data.showAddress = true;
  const DWORD dataSpan = image.size() - kHeaderSize;
  const auto sendBlock = [&](DWORD addr) { return sendFlashBlock(link, image, addr); };
  if (!sendBlocks(link, data, sendBlock, [&](DWORD addr) {
        progress.blockDone(dataSpan, addr,
                           static_cast<double>(addr - kHeaderSize) / dataSpan * 100);
      }))
    return PhaseResult::Failed;
  Progress::complete();
  std::printf("\n");

  // The header goes in after all the data; the progress count goes on
  // from the data phase.
  std::printf("Setting ISP Mode...\n");
  if (sendIspMode(link, kIspProgram, device, 0, kHeaderSize, 0) != IspResult::Accepted)
    return PhaseResult::HeaderRefused;
  std::printf("Begin Job... Header...\n");
  BlockPhase header;
  header.device = device;
  header.begin = 0;
  header.end = kHeaderSize;
  header.maxReentries = kMaxReentries;
  if (!sendBlocks(link, header, sendBlock, [&](DWORD addr) {
        progress.blockDone(kHeaderSize, addr, static_cast<double>(addr) / kHeaderSize * 100);
      }))
    return PhaseResult::Failed;
  Progress::complete();
  std::printf("\nSoft Reset.");
  return softReset(link, kFlashDone) ? PhaseResult::Done : PhaseResult::Failed;
}

}  // namespace

int loadFile(SerialLink& link, const char* filename, int device) {
  FlashImage image;
  if (!image.load(filename)) return -1;
  if (image.cutShort())
    std::printf("Warning: %s is longer than %d bytes; the rest of the file is not written.\n",
                filename, static_cast<int>(FlashImage::kMaxSize));
  if ((device == 5 || device == 7) && image.size() < kHeaderSize) {
    // The data phase would ask for a negative byte count.
    std::printf("Image too short : %s has %d bytes, device %d needs at least %d.\n", filename,
                static_cast<int>(image.size()), device, static_cast<int>(kHeaderSize));
    return -1;
  }

  drainIspInput(link, kDrainLimitMs);
  const DWORD begin = GetTickCount();
  Progress progress;

  bool ok = true;
  switch (device) {
    case 0:
      ok = loadDriver(link, image, progress);
      break;
    case 1:
    case 2:
    case 3:
    case 4:
      ok = writeWholeDevice(link, image, device, progress);
      break;
    case 5:
    case 7:
      switch (writeDataAndHeader(link, image, device, progress)) {
        case PhaseResult::Done: break;
        case PhaseResult::Failed: ok = false; break;
        case PhaseResult::DeviceNotSet:
        case PhaseResult::HeaderRefused: return -1;  // no elapsed-time line
      }
      break;
    default:
      break;
  }
  if (ok) std::printf("\n");
  printTime(begin, 0);
  return ok ? 0 : -1;
}
