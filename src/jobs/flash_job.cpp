#include "jobs/flash_job.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "link/serial_link.h"

namespace {

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};

}  // namespace

bool FlashImage::load(const char* path) {
  bytes_.reset(new (std::nothrow) unsigned char[kMaxSize]);
  size_ = 0;
  cutShort_ = false;
  if (!bytes_) {
    std::printf("Unable to allocate memory.\n");
    return false;
  }
  std::unique_ptr<FILE, FileCloser> file(std::fopen(path, "rb"));
  if (!file) {
    std::printf("Unable to open file : %s\n", path);
    return false;
  }
  size_ = static_cast<DWORD>(std::fread(bytes_.get(), 1, kMaxSize, file.get()));
  cutShort_ = size_ == kMaxSize && std::fgetc(file.get()) != EOF;
  std::printf("File Size : %d bytes\n", static_cast<int>(size_));
  return true;
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
                const std::function<void(DWORD addr)>& accepted) {
  uint16_t msg[kIspMaxWords] = {};
  uint16_t response[kIspMaxWords] = {};
  for (DWORD addr = phase.begin; addr < phase.end; addr += kFlashBlock) {
    int reentries = 0;
    for (;;) {
      const BlockResult result = sendBlock(addr);
      if (result == BlockResult::Accepted) break;
      if (result == BlockResult::Failed) return false;
      if (result == BlockResult::Again) continue;

      if (sendModeStatus(link, msg, response) != IspResult::Accepted) {
        std::printf("Unable to send cmd.\n");
        return false;
      }
      std::printf("ISP Mode Status Request ...\n");
      if (phase.dumpStatus) {
        printMsg(msg);
        printMsg(response);
      }
      if (phase.maxReentries != kUnlimitedReentries && reentries >= phase.maxReentries)
        return false;
      if (phase.showAddress) std::printf("Addr - 0x%08x\n", static_cast<unsigned>(addr));
      std::printf("Setting ISP Mode...\n");
      if (sendIspMode(link, phase.operation, phase.device, addr, phase.end - addr, 0) !=
          IspResult::Accepted)
        return false;
      ++reentries;
    }
    accepted(addr);
  }
  return true;
}
