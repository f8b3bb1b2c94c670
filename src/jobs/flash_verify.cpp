// Mode VERIFY: reads a flash device of the video processor back and counts
// the 16-bit words that differ from an image.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/elapsed.h"
#include "common/ticks.h"
#include "isp/isp_message.h"
#include "isp/isp_transaction.h"
#include "jobs/modes.h"
#include "link/serial_port.h"
#include "platform/win32.h"

namespace {

constexpr std::size_t kImageBuffer = 0x300000;
constexpr DWORD kMaxImage = 0x200000;
constexpr int kMsgWords = 30;
constexpr DWORD kDrainLimitMs = 5000;

struct Image {
  unsigned char* mem = nullptr;
  FILE* file = nullptr;
  Image() = default;
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;
  ~Image() { release(); }
  void release() {
    if (file != nullptr) std::fclose(file);
    file = nullptr;
    std::free(mem);
    mem = nullptr;
  }
};

int failureEnd(Image& image) {
  image.release();
  std::printf("Press a key to continue ... ");
  _getch();
  return -1;
}

int sendReadBackMode(int device, DWORD start, DWORD count) {
  uint16_t msg[kMsgWords] = {};
  uint16_t response[kMsgWords] = {};
  buildIspModeRequest(msg, kIspReadBack, device, start, count);
  return sendISPCmd(msg, response, 0);
}

int sendModeStatus(uint16_t* response) {
  uint16_t msg[kMsgWords] = {};
  msg[0] = kIspModeStatusRequest;
  return sendISPCmd(msg, response, 0);
}

}  // namespace

int verify(const char* filename, int device, unsigned long* mismatchTotal) {
  Image image;
  uint16_t msg[kMsgWords] = {};
  uint16_t response[kMsgWords] = {};
  unsigned long mismatch = 0;
  if (mismatchTotal != nullptr) *mismatchTotal = 0;

  image.mem = static_cast<unsigned char*>(std::malloc(kImageBuffer));
  if (image.mem == nullptr) {
    std::printf("Unable to allocate memory.\n");
    return failureEnd(image);
  }
  image.file = std::fopen(filename, "rb");
  if (image.file == nullptr) {
    std::printf("Unable to open file : %s\n", filename);
    return failureEnd(image);
  }
  const DWORD maxAddr = static_cast<DWORD>(std::fread(image.mem, 1, kMaxImage, image.file));
  std::printf("File Size : %d bytes\n", static_cast<int>(maxAddr));
  std::memset(image.mem + maxAddr, 0xFF, 64);

  drainIspInput(kDrainLimitMs);
  const DWORD begin = GetTickCount();

  if (device < 1 || device > 7 || device == 6) {
    std::printf("Invalid device ID %d\n", device);
    return failureEnd(image);
  }
  if (!sendReadBackMode(device, 0, maxAddr)) {
    std::printf("Unable to send cmd.\n");
    return failureEnd(image);
  }
  std::printf("Setting ISP Mode...\n");
  if (!sendModeStatus(response)) {
    std::printf("Unable to send cmd.\n");
    return failureEnd(image);
  }
  if ((response[1] & 0xFF) != static_cast<unsigned>(device)) {
    std::printf("Device not setted !\n");
    image.release();
    return -1;
  }

  unsigned long receive = 0;
  unsigned time = 0;
  for (DWORD addr = 0; addr < maxAddr; addr += 32) {
    for (;;) {
      std::memset(msg, 0, sizeof msg);
      msg[0] = kFlashReadRequest;
      if (!sendISPCmd(msg, response, 0)) {
        // Refused or lost: re-enter read-back mode for the rest.
        if (!sendModeStatus(response)) {
          std::printf("Unable to send cmd.\n");
          return failureEnd(image);
        }
        std::printf("ISP Mode Status Request ...\n");
        std::printf("Setting ISP Mode...\n");
        if (!sendReadBackMode(device, addr, maxAddr - addr)) return failureEnd(image);
        continue;
      }
      if (ispId(response[0]) != kReadAnswerId) {
        std::printf("\nBad Response - %04x ", static_cast<unsigned>(ispId(response[0])));
        if (!sendModeStatus(response)) {
          std::printf("Unable to send cmd.\n");
          return failureEnd(image);
        }
        continue;
      }
      break;
    }

    // Only the words that start inside the file count; a short answer
    // moves the bound by what it carried.
    const int respLen = ispCount(response[0]) + 1;
    for (int i = 0; i < respLen; ++i) {
      const unsigned long at = 2UL * static_cast<unsigned long>(i) + receive;
      const uint16_t expected =
          static_cast<uint16_t>(image.mem[addr + 2 * i] | (image.mem[addr + 2 * i + 1] << 8));
      if (at < maxAddr && response[1 + i] != expected) ++mismatch;
    }
    receive += 2UL * static_cast<unsigned long>(respLen);
    if (mismatchTotal != nullptr) *mismatchTotal = mismatch;

    if ((maxAddr / 5000) * time < addr) {
      std::printf("%cJob at %0.2f %c --- Mismatch Total %d", 13,
                  static_cast<double>(addr) / maxAddr * 100, '%', static_cast<int>(mismatch));
      ++time;
    }
  }
  std::printf("%cJob at 100%% ----- Mismatch Total %d \t\t\t\t", 13, static_cast<int>(mismatch));
  std::printf("\n");
  image.release();
  printTime(begin, 1);
  if (mismatchTotal != nullptr) *mismatchTotal = mismatch;
  return 0;
}
