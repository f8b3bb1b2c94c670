#include "jobs/flash_job.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/hint.h"
#include "common/scoped_file.h"
#include "link/serial_link.h"
#include "platform/files.h"

bool FlashImage::load(const char* path) {
  bytes_.reset(new (std::nothrow) unsigned char[kMaxSize]);
  size_ = 0;
  tooLong_ = false;
  if (!bytes_) {
    std::printf("Unable to allocate memory.\n");
    return false;
  }
  const platform::FileIdentity identity = platform::identifyFile(path);
  if (identity.exists() && !identity.regular()) {
    // A device or a pipe would never end, a folder reads as nothing.
    std::printf("Not a regular file : %s\n", path);
    return false;
  }
  errno = 0;
  const ScopedFile file(path, "rb");
  if (!file) {
    const int openError = errno;
    std::printf("Unable to open file : %s\n", path);
    printHint("%s cannot be opened: %s", path, std::strerror(openError));
    return false;
  }
  size_ = static_cast<DWORD>(std::fread(bytes_.get(), 1, kMaxSize, file.get()));
  if (std::ferror(file.get())) {
    // Half an image must not go to the flash as if it were the whole.
    std::printf("Unable to read file : %s\n", path);
    printHint("%s could not be read: %s", path, std::strerror(errno));
    return false;
  }
  tooLong_ = size_ == kMaxSize && std::fgetc(file.get()) != EOF;
  std::printf("File Size : %d bytes\n", static_cast<int>(size_));
  return true;
}

std::string interruptedWriteHint(int device) {
  return "hint: device " + std::to_string(device) +
         " may be incomplete: run the same command again\n";
}

bool imageFitsDevice(const char* path, DWORD size, bool tooLong, int device) {
  if (device == 0 && (tooLong || size > kDriverEnd)) {
    // The driver runs from its window; bytes past it would be dropped.
    std::printf("Driver too long : %s has more than %d bytes, its window ends at 0x%X.\n", path,
                static_cast<int>(kDriverEnd), static_cast<unsigned>(kDriverEnd - 1));
    return false;
  }
  if (device != 0 && tooLong) {
    std::printf("Image too long : %s has more than %d bytes, the most a flash device holds.\n",
                path, static_cast<int>(FlashImage::kMaxSize));
    return false;
  }
  if (device != 0 && size > flashDeviceSize(device)) {
    std::printf("Image too long : %s has more than %d bytes, the most flash device %d holds.\n",
                path, static_cast<int>(flashDeviceSize(device)), device);
    return false;
  }
  if (size == 0) {
    // Nothing would be written or compared, and the run would call it done.
    std::printf("Empty file : %s has no bytes.\n", path);
    return false;
  }
  if ((device == 5 || device == 7) && size < kHeaderSize) {
    // The data phase would ask for a negative byte count.
    std::printf("Image too short : %s has %d bytes, device %d needs at least %d.\n", path,
                static_cast<int>(size), device, static_cast<int>(kHeaderSize));
    return false;
  }
  return true;
}

bool imageFileFitsDevice(const char* path, int device) {
  const platform::FileIdentity identity = platform::identifyFile(path);
  if (identity.exists() && !identity.regular()) {
    std::printf("Not a regular file : %s\n", path);
    return false;
  }
  const ScopedFile file(path, "rb");
  if (!file || std::fseek(file.get(), 0, SEEK_END) != 0) return true;
  const long end = std::ftell(file.get());
  if (end < 0) return true;
  const bool tooLong = static_cast<unsigned long>(end) > FlashImage::kMaxSize;
  const DWORD size = tooLong ? FlashImage::kMaxSize : static_cast<DWORD>(end);
  return imageFitsDevice(path, size, tooLong, device);
}

IspResult sendIspMode(SerialLink& link, uint16_t operation, int device, DWORD start,
                      DWORD count, DWORD wait) {
  uint16_t msg[kIspMaxWords] = {};
  uint16_t response[kIspMaxWords] = {};
  buildIspModeRequest(msg, operation, device, start, count);
  return sendISPCmd(link, msg, response, wait);
}

IspResult sendModeStatus(SerialLink& link, uint16_t* msg, uint16_t* response) {
  std::memset(msg, 0, kIspMaxWords * sizeof(uint16_t));
  msg[0] = kIspModeStatusRequest;
  msg[1] = 0;
  return sendISPCmd(link, msg, response, 0);
}

bool sendBlocks(SerialLink& link, const BlockPhase& phase,
                const std::function<BlockResult(DWORD addr)>& sendBlock,
                const std::function<bool(DWORD addr)>& accepted) {
  uint16_t msg[kIspMaxWords] = {};
  uint16_t response[kIspMaxWords] = {};
  const auto outOfTries = [&](DWORD addr) {
    std::printf("Block 0x%08x failed %d times. Exit.\n", static_cast<unsigned>(addr),
                phase.maxRetries + 1);
    return false;
  };
  for (DWORD addr = phase.begin; addr < phase.end; addr += kFlashBlock) {
    int retries = 0;
    for (;;) {
      const BlockResult result = sendBlock(addr);
      if (result == BlockResult::Accepted) break;
      if (result == BlockResult::Failed) return false;
      if (result == BlockResult::Again) {
        if (retries >= phase.maxRetries) return outOfTries(addr);
        ++retries;
        continue;
      }

      if (sendModeStatus(link, msg, response) != IspResult::Accepted) {
        std::printf("Unable to send cmd.\n");
        return false;
      }
      std::printf("ISP Mode Status Request ...\n");
      if (phase.dumpStatus) {
        printMsg(msg);
        printMsg(response);
      }
      if (retries >= phase.maxRetries) return outOfTries(addr);
      if (phase.showAddress) std::printf("Addr - 0x%08x\n", static_cast<unsigned>(addr));
      std::printf("Setting ISP Mode...\n");
      if (sendIspMode(link, phase.operation, phase.device, addr, phase.end - addr, 0) !=
          IspResult::Accepted)
        return false;
      ++retries;
    }
    if (!accepted(addr)) return false;
  }
  return true;
}

BlockResult readFlashBlock(SerialLink& link, DWORD addr, uint16_t* words) {
  uint16_t msg[kIspMaxWords] = {kFlashReadRequest, 0};
  uint16_t answer[kIspMaxWords] = {};
  bool wellFormed = false;
  if (sendISPCmd(link, msg, answer, 0, &wellFormed) != IspResult::Accepted)
    return BlockResult::Refused;
  // A damaged or short answer is no read of the block, and the read pointer
  // may have moved past it: ISP mode is entered again at the block.
  const bool whole = ispCount(answer[0]) + 1 == kBlockWords;
  if (!wellFormed || (ispId(answer[0]) == kReadAnswerId && !whole)) {
    std::printf("\nBad read answer for block 0x%08x, reading it again.\n",
                static_cast<unsigned>(addr));
    return BlockResult::Refused;
  }
  if (ispId(answer[0]) != kReadAnswerId) {
    // Another answer: ask for the status and read the block again, without
    // re-entering read-back mode.
    std::printf("\nBad Response - %04x ", static_cast<unsigned>(ispId(answer[0])));
    uint16_t statusMsg[kIspMaxWords] = {};
    uint16_t statusAnswer[kIspMaxWords] = {};
    if (sendModeStatus(link, statusMsg, statusAnswer) != IspResult::Accepted) {
      std::printf("Unable to send cmd.\n");
      return BlockResult::Failed;
    }
    return BlockResult::Again;
  }
  std::memcpy(words, answer + 1, kBlockWords * sizeof(uint16_t));
  return BlockResult::Accepted;
}

ReadOut readDevice(SerialLink& link, int device, DWORD size,
                   const std::function<bool(DWORD addr, const uint16_t* words)>& block) {
  if (sendIspMode(link, kIspReadBack, device, 0, size, 0) != IspResult::Accepted) {
    std::printf("Unable to send cmd.\n");
    return ReadOut::Failed;
  }
  std::printf("Setting ISP Mode...\n");
  uint16_t statusMsg[kIspMaxWords] = {};
  uint16_t statusAnswer[kIspMaxWords] = {};
  if (sendModeStatus(link, statusMsg, statusAnswer) != IspResult::Accepted) {
    std::printf("Unable to send cmd.\n");
    return ReadOut::Failed;
  }
  if ((statusAnswer[1] & 0xFF) != static_cast<unsigned>(device)) {
    std::printf("Device not setted !\n");
    return ReadOut::DeviceNotSet;
  }

  BlockPhase phase;
  phase.device = device;
  phase.operation = kIspReadBack;
  phase.begin = 0;
  phase.end = size;
  uint16_t words[kBlockWords] = {};
  const bool done = sendBlocks(
      link, phase, [&](DWORD addr) { return readFlashBlock(link, addr, words); },
      [&](DWORD addr) { return block(addr, words); });
  return done ? ReadOut::Done : ReadOut::Failed;
}
