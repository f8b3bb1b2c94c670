#include "jobs/flash_loader.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/elapsed.h"
#include "common/hint.h"
#include "common/progress_line.h"
#include "isp/isp_message.h"
#include "isp/isp_transaction.h"
#include "jobs/flash_job.h"
#include "link/micro_command.h"
#include "link/serial_link.h"
#include "platform/win32.h"

namespace {

constexpr DWORD kDriverSpan = kDriverEnd - kDriverBase;
constexpr DWORD kDriverBlock = 16;
constexpr DWORD kDrainLimitMs = 5000;

const unsigned char kSoftResetPrepare[] = "=MP\r";
const unsigned char kSoftReset[] = "=MR\r";
const unsigned char kFlashDone[] = "=MA\r";

// Progress lines of one phase, about 5000 at most whatever its span.
class Progress {
 public:
  explicit Progress(ProgressSink* sink) : sink_(sink) {}
  void restart() { pace_.restart(); }
  void blockDone(DWORD span, DWORD addr, double percent) {
    if (pace_.due(addr, span)) printProgress(sink_, percent);
  }
  void complete() { printProgressComplete(sink_, "%\t\t\t\t"); }

 private:
  ProgressSink* sink_;
  ProgressPace pace_;
};

bool softReset(SerialLink& link, const unsigned char* first) {
  return sendMicroCmd(link, first, 4) && sendMicroCmd(link, kSoftReset, 4);
}

// Written blocks whose acknowledgement was malformed.  A refusal damaged on
// the line can look like an acceptance; the block was then not written, and
// the processor's write pointer stayed behind, so the blocks after it went
// one place early.  Each such block, and the last block of its phase, is read
// back before the closing reset, while the driver is still loaded.
class DoubtfulBlocks {
 public:
  void add(DWORD addr) { blocks_.push_back(addr); }
  // Call at the end of each phase with its last block.
  void phaseEnds(DWORD lastBlock) {
    if (blocks_.size() > phaseStart_) blocks_.push_back(lastBlock);
    phaseStart_ = blocks_.size();
  }
  std::vector<DWORD> blocks() const {
    std::vector<DWORD> sorted = blocks_;
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    return sorted;
  }

 private:
  std::vector<DWORD> blocks_;
  std::size_t phaseStart_ = 0;
};

DWORD lastBlockOf(DWORD begin, DWORD end) {
  return end > begin ? begin + (end - begin - 1) / kFlashBlock * kFlashBlock : begin;
}

// One flash write request: the 32 image bytes from `addr`.
BlockResult sendFlashBlock(SerialLink& link, const FlashImage& image, DWORD addr,
                           DoubtfulBlocks& doubtful) {
  uint16_t msg[kIspMaxWords] = {};
  uint16_t response[kIspMaxWords] = {};
  msg[0] = kFlashWriteRequest;
  for (int k = 0; k < kBlockWords; ++k) msg[1 + k] = image.word(addr + 2 * k);
  bool wellFormed = false;
  if (sendISPCmd(link, msg, response, 0, &wellFormed) != IspResult::Accepted)
    return BlockResult::Refused;
  if (!wellFormed) doubtful.add(addr);
  return BlockResult::Accepted;
}

// Reads the doubtful blocks back and compares them with the image.  Prints
// nothing when there are none.
bool readBackDoubtful(SerialLink& link, const FlashImage& image, int device,
                      const DoubtfulBlocks& doubtful) {
  const std::vector<DWORD> blocks = doubtful.blocks();
  if (blocks.empty()) return true;
  std::printf("\nReading back %d block(s) whose acknowledgement was unclear ...\n",
              static_cast<int>(blocks.size()));
  for (DWORD addr : blocks) {
    if (sendIspMode(link, kIspReadBack, device, addr, kFlashBlock, 0) != IspResult::Accepted) {
      std::printf("Unable to send cmd.\n");
      return false;
    }
    BlockPhase phase;
    phase.device = device;
    phase.operation = kIspReadBack;
    phase.begin = addr;
    phase.end = addr + kFlashBlock;
    uint16_t words[kBlockWords] = {};
    bool same = true;
    if (!sendBlocks(
            link, phase, [&](DWORD at) { return readFlashBlock(link, at, words); },
            [&](DWORD at) {
              for (int k = 0; k < kBlockWords; ++k)
                if (words[k] != image.word(at + 2 * k)) same = false;
              return true;
            }))
      return false;
    if (!same) {
      std::printf("Block 0x%08x was not written: its acknowledgement was a damaged refusal. "
                  "Exit.\n",
                  static_cast<unsigned>(addr));
      return false;
    }
  }
  return true;
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
  // A last partial block goes out padded with 0xFF; a refused block ends the
  // load.  A block written to memory can safely go again, so one whose
  // acknowledgement was malformed is sent again until one is clear.
  for (DWORD addr = kDriverBase; addr < kDriverEnd && addr < image.size();
       addr += kDriverBlock) {
    bool clear = false;
    for (int attempt = 0; !clear; ++attempt) {
      if (attempt > kMaxBlockRetries) {
        std::printf("Driver block 0x%04x was never clearly acknowledged. Exit.\n",
                    static_cast<unsigned>(addr));
        return false;
      }
      std::memset(msg, 0, sizeof msg);
      msg[0] = kDriverWriteRequest;
      msg[1] = static_cast<uint16_t>((addr >> 4) & 0xF000);  // segment
      msg[2] = static_cast<uint16_t>(addr & 0xFFFF);         // offset
      for (int k = 0; k < 8; ++k) msg[3 + k] = image.word(addr + 2 * k);
      if (sendISPCmd(link, msg, response, 0, &clear) != IspResult::Accepted) return false;
    }
    progress.blockDone(kDriverSpan, addr,
                       static_cast<double>(addr - kDriverBase) / kDriverSpan * 100);
  }
  progress.complete();

  std::memset(msg, 0, sizeof msg);
  msg[0] = kDriverCallRequest;
  msg[1] = static_cast<uint16_t>(kDriverBase >> 4);
  msg[2] = 0;
  msg[3] = 0x3300;
  msg[4] = 0;
  std::printf("\nCalling ISP Driver...\n");
  const IspResult called = sendISPCmd(link, msg, response, 1000);
  // A driver that does not start is refused like any request; say which
  // step that was, since the file is the likely cause.
  if (called == IspResult::Refused)
    printHint("the video processor refused to start the ISP driver at 0x%04X: check that the "
              "driver file is the one for this device (its code from byte 0x%04X of the file)",
              static_cast<unsigned>(kDriverBase), static_cast<unsigned>(kDriverBase));
  return called == IspResult::Accepted;
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
  phase.dumpStatus = true;
  const DWORD span = image.size();
  DoubtfulBlocks doubtful;
  if (!sendBlocks(
          link, phase, [&](DWORD addr) { return sendFlashBlock(link, image, addr, doubtful); },
          [&](DWORD addr) {
            progress.blockDone(span, addr, static_cast<double>(addr) / span * 100);
            return true;
          }))
    return false;
  progress.complete();
  doubtful.phaseEnds(lastBlockOf(0, image.size()));
  if (!readBackDoubtful(link, image, device, doubtful)) return false;
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
  data.dumpStatus = true;
  data.showAddress = true;
  const DWORD dataSpan = image.size() - kHeaderSize;
  DoubtfulBlocks doubtful;
  const auto sendBlock = [&](DWORD addr) {
    return sendFlashBlock(link, image, addr, doubtful);
  };
  if (!sendBlocks(link, data, sendBlock, [&](DWORD addr) {
        progress.blockDone(dataSpan, addr,
                           static_cast<double>(addr - kHeaderSize) / dataSpan * 100);
        return true;
      }))
    return PhaseResult::Failed;
  progress.complete();
  std::printf("\n");
  doubtful.phaseEnds(lastBlockOf(kHeaderSize, image.size()));

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
  if (!sendBlocks(link, header, sendBlock, [&](DWORD addr) {
        progress.blockDone(kHeaderSize, addr, static_cast<double>(addr) / kHeaderSize * 100);
        return true;
      }))
    return PhaseResult::Failed;
  progress.complete();
  doubtful.phaseEnds(lastBlockOf(0, kHeaderSize));
  if (!readBackDoubtful(link, image, device, doubtful)) return PhaseResult::Failed;
  std::printf("\nSoft Reset.");
  return softReset(link, kFlashDone) ? PhaseResult::Done : PhaseResult::Failed;
}

}  // namespace

int loadFile(SerialLink& link, const char* filename, int device) {
  FlashImage image;
  if (!image.load(filename)) return -1;
  // Nothing of a file that cannot go whole goes at all.
  if (!imageFitsDevice(filename, image.size(), image.tooLong(), device)) return -1;

  drainIspInput(link, kDrainLimitMs);
  const DWORD begin = GetTickCount();
  Progress progress(link.progressSink());

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
