#include "jobs/flash_loader.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/elapsed.h"
#include "common/ticks.h"
#include "isp/isp_message.h"
#include "isp/isp_transaction.h"
#include "link/micro_command.h"
#include "link/serial_port.h"
#include "platform/win32.h"

namespace {

constexpr std::size_t kImageBuffer = 0x300000;
constexpr DWORD kMaxImage = 0x200000;  // the most a flash device takes
constexpr DWORD kDriverBase = 0x800;
constexpr DWORD kDriverEnd = 0x2000;
constexpr DWORD kDriverSpan = 0x1800;
constexpr DWORD kHeaderSize = 0x100;  // devices 5 and 7 keep a header there
constexpr uint16_t kMaxReentries = 5;  // a block's seventh failure ends the job
constexpr DWORD kDrainLimitMs = 5000;

const unsigned char kSoftResetPrepare[] = "=MP\r";
const unsigned char kSoftReset[] = "=MR\r";
const unsigned char kFlashDone[] = "=MA\r";

// One job: the image in memory and the open file.
struct Job {
  unsigned char* mem = nullptr;
  FILE* file = nullptr;
  DWORD maxAddr = 0;
  DWORD begin = 0;
  unsigned time = 0;  // progress lines printed in the phase

  Job() = default;
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;
  ~Job() {
    if (file != nullptr) std::fclose(file);
    std::free(mem);
  }
  uint16_t word(DWORD at) const { return static_cast<uint16_t>(mem[at] | (mem[at + 1] << 8)); }
};

void progress(Job& job, DWORD span, DWORD addr, double percent) {
  if ((span / 5000) * job.time < addr) {
    std::printf("%cJob at %0.2f %c", 13, percent, '%');
    ++job.time;
  }
}

void completionLine() { std::printf("%cJob at 100%%\t\t\t\t", 13); }

int sendIspMode(int device, DWORD start, DWORD count, DWORD wait) {
  uint16_t msg[kIspMaxWords] = {};
  uint16_t response[kIspMaxWords] = {};
  buildIspModeRequest(msg, kIspProgram, device, start, count);
  return sendISPCmd(msg, response, wait);
}

// The ISP mode status request; its answer carries the device in word 1.
int sendModeStatus(uint16_t* msg, uint16_t* response) {
  std::memset(msg, 0, kIspMaxWords * sizeof(uint16_t));
  msg[0] = kIspModeStatusRequest;
  msg[1] = 0;
  return sendISPCmd(msg, response, 0);
}

int sendFlashBlock(const Job& job, DWORD addr) {
  uint16_t msg[kIspMaxWords] = {};
  uint16_t response[kIspMaxWords] = {};
  msg[0] = kFlashWriteRequest;
  for (int k = 0; k < 16; ++k) msg[1 + k] = job.word(addr + 2 * k);
  return sendISPCmd(msg, response, 0);
}

bool softReset(const unsigned char* first) {
  return sendMicroCmd(first, 4) && sendMicroCmd(kSoftReset, 4);
}

// Device 0.  True when the driver was loaded and started.
bool loadDriver(Job& job) {
  uint16_t msg[kIspMaxWords] = {};
  uint16_t response[kIspMaxWords] = {};
  std::printf("Soft Reset...\n");
  if (!softReset(kSoftResetPrepare)) return false;
  std::printf("Waiting 5 sec...\n");
  Sleep(5000);
  job.time = 0;
  std::printf("Begin Job...\n");
  for (DWORD addr = kDriverBase; addr < kDriverEnd && addr + 16 <= job.maxAddr; addr += 16) {
    std::memset(msg, 0, sizeof msg);
    msg[0] = kDriverWriteRequest;
    msg[1] = static_cast<uint16_t>((addr >> 4) & 0xF000);
    msg[2] = static_cast<uint16_t>(addr & 0xFFFF);
    for (int k = 0; k < 8; ++k) msg[3 + k] = job.word(addr + 2 * k);
    if (!sendISPCmd(msg, response, 0)) return false;
    progress(job, kDriverSpan, addr,
             static_cast<double>(addr - kDriverBase) / kDriverSpan * 100);
  }
  completionLine();

  std::memset(msg, 0, sizeof msg);
  msg[0] = kDriverCallRequest;
  msg[1] = static_cast<uint16_t>(kDriverBase >> 4);
  msg[2] = 0;
  msg[3] = 0x3300;
  msg[4] = 0;
  std::printf("\nCalling ISP Driver...\n");
  return sendISPCmd(msg, response, 1000) == 1;
}

// Devices 1 to 4: the whole image from address 0, one pass.
bool writeWholeDevice(Job& job, int device) {
  uint16_t msg[kIspMaxWords];
  uint16_t response[kIspMaxWords] = {};
  std::printf("Setting ISP Mode...\n");
  if (!sendIspMode(device, 0, job.maxAddr, 15000)) return false;
  job.time = 0;
  std::printf("Begin Job...\n");
  for (DWORD addr = 0; addr < job.maxAddr; addr += 32) {
    // A refused block re-enters ISP mode for the rest of the image and goes
    // again, as often as the card asks for it.
    while (!sendFlashBlock(job, addr)) {
      if (!sendModeStatus(msg, response)) {
        std::printf("Unable to send cmd.\n");
        return false;
      }
      std::printf("ISP Mode Status Request ...\n");
      printMsg(msg);
      printMsg(response);
      std::printf("Setting ISP Mode...\n");
      if (!sendIspMode(device, addr, job.maxAddr - addr, 0)) return false;
    }
    progress(job, job.maxAddr, addr, static_cast<double>(addr) / job.maxAddr * 100);
  }
  completionLine();
  return softReset(kFlashDone);
}

enum class PhaseResult { Done, Failed, DeviceNotSet, HeaderRefused };

// Devices 5 and 7: erase, data from 0x100, then the header.
PhaseResult writeDataAndHeader(Job& job, int device) {
  uint16_t msg[kIspMaxWords];
  uint16_t response[kIspMaxWords] = {};
  std::printf("Setting ISP Mode...\n");
  std::printf("Erasing device...\n");
  if (!sendIspMode(device, kHeaderSize, job.maxAddr - kHeaderSize, 20000))
    return PhaseResult::Failed;
  if (!sendModeStatus(msg, response)) {
    std::printf("Unable to send cmd.\n");
    return PhaseResult::Failed;
  }
  if ((response[1] & 0xFF) != static_cast<unsigned>(device)) {
    std::printf("Device not setted !\n");
    return PhaseResult::DeviceNotSet;
  }
  Sleep(500);
  job.time = 0;
  std::printf("Begin Job... Data ..\n");

  const DWORD dataSpan = job.maxAddr - kHeaderSize;
  for (DWORD addr = kHeaderSize; addr < job.maxAddr; addr += 32) {
    uint16_t retryValue = 0;
    while (!sendFlashBlock(job, addr)) {
      if (!sendModeStatus(msg, response)) {
        std::printf("Unable to send cmd.\n");
        return PhaseResult::Failed;
      }
      std::printf("ISP Mode Status Request ...\n");
      printMsg(msg);
      printMsg(response);
      if (retryValue > kMaxReentries) return PhaseResult::Failed;
      std::printf("Addr - 0x%08x\n", static_cast<unsigned>(addr));
      std::printf("Setting ISP Mode...\n");
      if (!sendIspMode(device, addr, job.maxAddr - addr, 0)) return PhaseResult::Failed;
      ++retryValue;
    }
    progress(job, dataSpan, addr, static_cast<double>(addr - kHeaderSize) / dataSpan * 100);
  }
  completionLine();
  std::printf("\n");

  std::printf("Setting ISP Mode...\n");
  if (!sendIspMode(device, 0, kHeaderSize, 0)) return PhaseResult::HeaderRefused;
  std::printf("Begin Job... Header...\n");
  for (DWORD addr = 0; addr < kHeaderSize; addr += 32) {
    uint16_t retryValue = 0;
    while (!sendFlashBlock(job, addr)) {
      if (!sendModeStatus(msg, response)) {
        std::printf("Unable to send cmd.\n");
        return PhaseResult::Failed;
      }
      std::printf("ISP Mode Status Request ...\n");
      if (retryValue > kMaxReentries) return PhaseResult::Failed;
      std::printf("Setting ISP Mode...\n");
      if (!sendIspMode(device, addr, kHeaderSize - addr, 0)) return PhaseResult::Failed;
      ++retryValue;
    }
    progress(job, kHeaderSize, addr, static_cast<double>(addr) / kHeaderSize * 100);
  }
  completionLine();
  std::printf("\nSoft Reset.");
  return softReset(kFlashDone) ? PhaseResult::Done : PhaseResult::Failed;
}

}  // namespace

int loadFile(const char* filename, int device) {
  Job job;
  job.mem = static_cast<unsigned char*>(std::malloc(kImageBuffer));
  if (job.mem == nullptr) {
    std::printf("Unable to allocate memory.\n");
    return -1;
  }
  job.file = std::fopen(filename, "rb");
  if (job.file == nullptr) {
    std::printf("Unable to open file : %s\n", filename);
    return -1;
  }
  job.maxAddr = static_cast<DWORD>(std::fread(job.mem, 1, kMaxImage, job.file));
  std::printf("File Size : %d bytes\n", static_cast<int>(job.maxAddr));
  if (job.maxAddr == kMaxImage && std::fgetc(job.file) != EOF)
    std::printf("Warning: %s is longer than %d bytes; the rest of the file is not written.\n",
                filename, static_cast<int>(kMaxImage));
  // The last block of an image goes out whole: what lies beyond the file is
  // sent as erased flash.
  std::memset(job.mem + job.maxAddr, 0xFF, 64);

  if ((device == 5 || device == 7) && job.maxAddr < kHeaderSize) {
    // The data phase would ask for a negative byte count.
    std::printf("Image too short : %s has %d bytes, device %d needs at least %d.\n", filename,
                static_cast<int>(job.maxAddr), device, static_cast<int>(kHeaderSize));
    return -1;
  }

  drainIspInput(kDrainLimitMs);
  job.begin = GetTickCount();

  bool ok = true;
  switch (device) {
    case 0:
      ok = loadDriver(job);
      break;
    case 1:
    case 2:
    case 3:
    case 4:
      ok = writeWholeDevice(job, device);
      break;
    case 5:
    case 7:
      switch (writeDataAndHeader(job, device)) {
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
  printTime(job.begin, 0);
  return ok ? 0 : -1;
}
