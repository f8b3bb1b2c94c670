#include "jobs/dry_run.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "boot/boot_mode.h"
#include "common/scoped_file.h"
#include "isp/isp_message.h"
#include "isp/line_encoding.h"
#include "jobs/edid_check.h"
#include "jobs/flash_job.h"
#include "jobs/gamma_table.h"
#include "jobs/remote_script.h"

namespace {

// The pauses each mode's steps prescribe, as `make bench` counts them for
// its lower bounds (bench/bench.py): the sleeps and waits the steps name
// and the last read of a drain on a quiet line.
constexpr double kQuietReadMs = 1;
constexpr double kViperPausesMs = 5000 + 1000 + 1000 + 7 * kQuietReadMs;  // and the mode's wait
constexpr double kEraseWaitMs = 20000 + 500;                                // devices 5 and 7
constexpr double kDevice1WaitMs = 15000;
constexpr double kEdidPausesMs = 50 + 500;
constexpr double kGammaPausesMs = 2 * kQuietReadMs + 100;
constexpr double kRemotePausesPerCommandMs = 30;
constexpr double kFpgaPausesMs = 1500;
constexpr double kFpgaSliceMs = 50;  // one silent read slice before each answer
constexpr double kMicroPausesMs = 100 + 1000 + kQuietReadMs + 1000 + 5000 + 1050 + 140 + 2000 +
                                  1000 + 1000 + 40 + 10 + 200 + 1000;

constexpr double kIspAnswerBytes = 9;    // "=G", an acceptance of three words, CR
constexpr double kMicroCommandBytes = 4 + 4;  // "=MP\r" and its answer
constexpr double kReadRequestBytes = 9;
constexpr double kReadAnswerBytes = 3 + 36 + 36.0 * 5 / 256;  // 18 words; escapes on average
constexpr unsigned long kFpgaLargestRequest = 65535;

// The bytes of one ISP request on the line, as sendISPCmd frames it.
int frameLength(uint16_t* msg) {
  createChecksum(msg);
  const int words = ispWords(msg[0]);
  unsigned char bytes[2 * kIspMaxWords];
  for (int k = 0; k < words; ++k) {
    bytes[2 * k] = static_cast<unsigned char>(msg[k] & 0xFF);
    bytes[2 * k + 1] = static_cast<unsigned char>(msg[k] >> 8);
  }
  unsigned char frame[4 * kIspMaxWords + 4];
  return yEncode(frame, bytes, 2 * words);
}

uint16_t wordAt(const std::string& image, std::size_t at) {
  const auto byte = [&image](std::size_t i) {
    return i < image.size() ? static_cast<unsigned char>(image[i]) : 0xFF;
  };
  return static_cast<uint16_t>(byte(at) | (byte(at + 1) << 8));
}

double flashBlocks(const std::string& image, std::size_t begin, std::size_t end) {
  double bytes = 0;
  for (std::size_t at = begin; at < end; at += kFlashBlock) {
    uint16_t msg[kIspMaxWords] = {};
    msg[0] = kFlashWriteRequest;
    for (int k = 0; k < kBlockWords; ++k) msg[1 + k] = wordAt(image, at + 2 * k);
    bytes += frameLength(msg) + kIspAnswerBytes;
  }
  return bytes;
}

// `name` opened to be checked; no file, after "NAME cannot be opened.",
// when it cannot be.
ScopedFile openToCheck(const std::string& name) {
  ScopedFile file(name.c_str(), "rb");
  if (!file) std::printf("%s cannot be opened.\n", name.c_str());
  return file;
}

// True when every read of `file` went well; else false, after "NAME cannot
// be read.".
bool readWell(const ScopedFile& file, const std::string& name) {
  if (std::ferror(file.get()) == 0) return true;
  std::printf("%s cannot be read.\n", name.c_str());
  return false;
}

bool readFile(const std::string& name, std::string* contents) {
  const ScopedFile file = openToCheck(name);
  if (!file) return false;
  contents->clear();
  char chunk[65536];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0 &&
         contents->size() <= FlashImage::kMaxSize + 1)
    contents->append(chunk, n);
  return readWell(file, name);
}

const char* driverFor(int device) { return device == 1 ? "SFDriver.bin" : "FDriver.bin"; }

// One flash device written by VIPER (or ALL): the driver and the image must
// go whole.
bool checkViper(int device, const std::string& imageName, WireEstimate* estimate) {
  std::string driver, image;
  const char* driverName = driverFor(device);
  if (!readFile(driverName, &driver) || !readFile(imageName, &image)) return false;
  const bool driverTooLong = driver.size() > FlashImage::kMaxSize;
  const bool imageTooLong = image.size() > FlashImage::kMaxSize;
  if (!imageFitsDevice(driverName, static_cast<DWORD>(driver.size()), driverTooLong, 0) ||
      !imageFitsDevice(imageName.c_str(), static_cast<DWORD>(image.size()), imageTooLong, device))
    return false;
  std::printf("Would load the ISP driver %s (%lu bytes) and write %s (%lu bytes) into flash "
              "device %d.\n",
              driverName, static_cast<unsigned long>(driver.size()), imageName.c_str(),
              static_cast<unsigned long>(image.size()), device);
  *estimate += viperEstimate(device, driver, image);
  return true;
}

bool checkRead(const char* what, int device, unsigned long bytes, WireEstimate* estimate) {
  std::printf("Would %s %lu bytes of flash device %d.\n", what, bytes, device);
  *estimate += readEstimate(bytes);
  return true;
}

bool checkEdid(const std::string& name, WireEstimate* estimate) {
  std::string image;
  if (!readFile(name, &image)) return false;
  if (image.size() != 128 && image.size() != 256) {
    std::printf("%s holds %lu bytes: only files of 128 or 256 bytes can be written.\n",
                name.c_str(), static_cast<unsigned long>(image.size()));
    return false;
  }
  warnAboutEdid(name.c_str(), reinterpret_cast<const unsigned char*>(image.data()),
                static_cast<int>(image.size()));
  std::printf("Would write the EDID %s (%lu bytes).\n", name.c_str(),
              static_cast<unsigned long>(image.size()));
  *estimate += edidEstimate(static_cast<int>(image.size()));
  return true;
}

bool checkGamma(const std::string& name, WireEstimate* estimate) {
  const ScopedFile file = openToCheck(name);
  if (!file) return false;
  GammaTable table;
  char line[256];
  bool inRange = true;
  while (std::fgets(line, sizeof line, file.get()) != nullptr)
    if (table.addLine(line) == GammaLineResult::OutOfRange) inRange = false;
  if (!readWell(file, name)) return false;
  if (!inRange || !table.complete()) {
    if (!inRange) std::printf("%s: a value is outside 0..1023.\n", name.c_str());
    else std::printf("%s holds %d data lines, not 1024.\n", name.c_str(), table.lines());
    return false;
  }
  std::printf("Would send the gamma table %s (1024 lines).\n", name.c_str());
  *estimate += gammaEstimate();
  return true;
}

bool checkRemote(const std::string& name, WireEstimate* estimate) {
  const ScopedFile file = openToCheck(name);
  if (!file) return false;
  char line[1002];
  int commands = 0, keys = 0, pause = 0;
  WireEstimate script;
  while (std::fgets(line, sizeof line, file.get()) != nullptr) {
    switch (scriptLineKind(line)) {
      case ScriptLine::Command:
        ++commands;
        script.bytesAt115200 += commandLength(line) + 2 + 1 + 5;  // CRs, prompt, "#ACK\r"
        script.pausesMs += kRemotePausesPerCommandMs;
        break;
      case ScriptLine::Pause:
        readPause(line, &pause);
        script.pausesMs += pause;
        break;
      case ScriptLine::KeyStop: ++keys; break;
      default: break;
    }
  }
  if (!readWell(file, name)) return false;
  std::printf("Would play %s: %d command lines%s.\n", name.c_str(), commands,
              keys > 0 ? ", and wait for a key where it says so" : "");
  *estimate += script;
  return true;
}

bool checkFpga(const std::string& name, WireEstimate* estimate) {
  std::string stream;
  if (!readFile(name, &stream)) return false;
  if (stream.empty()) {
    std::printf("%s is empty.\n", name.c_str());
    return false;
  }
  std::printf("Would stream %s (%lu bytes) as the card asks for it.\n", name.c_str(),
              static_cast<unsigned long>(stream.size()));
  *estimate += fpgaEstimate(stream.size());
  return true;
}

unsigned long fileSize(const char* name) {
  std::string contents;
  return readFile(name, &contents) ? contents.size() : 0;
}

// The data bytes of appMain.mot's S3 records, the terminating one aside.
unsigned long microImageBytes() {
  const ScopedFile file(kMicroImageFile, "rb");
  if (!file) return 0;
  unsigned long bytes = 0;
  char line[512];
  while (std::fgets(line, sizeof line, file.get()) != nullptr) {
    unsigned count = 0;
    if (std::strncmp(line, "S3", 2) != 0 || std::sscanf(line + 2, "%2x", &count) != 1 ||
        count < 5 || std::strncmp(line + 4, "FFFF", 4) == 0)
      continue;
    bytes += count - 5;
  }
  return bytes;
}

bool checkMicro(WireEstimate* estimate) {
  // The start-up has checked the kernels and the image in full.
  const unsigned long image = microImageBytes();
  std::printf("Would program the microcontroller through its boot mode: the kernels %s, %s, %s "
              "and %s (%lu data bytes).\n",
              kMicroKernelFile, kMainKernelFile, kWriteKernelFile, kMicroImageFile, image);
  *estimate += microEstimate(fileSize(kMicroKernelFile), fileSize(kMainKernelFile),
                             fileSize(kWriteKernelFile), image);
  return true;
}

bool checkAll(const UpdateFiles& files, bool verifyAfterWrite, WireEstimate* estimate) {
  bool ok = true;
  if (files.edid) ok = checkEdid("EDID.bin", estimate) && ok;
  if (files.device5) {
    ok = checkViper(5, "Device5.bin", estimate) && ok;
    if (verifyAfterWrite) ok = checkRead("read back", 5, fileSize("Device5.bin"), estimate) && ok;
  }
  if (files.device1) {
    ok = checkViper(1, "Device1.bin", estimate) && ok;
    if (verifyAfterWrite) ok = checkRead("read back", 1, fileSize("Device1.bin"), estimate) && ok;
  }
  if (files.fpga) ok = checkFpga("fpga.xsvf", estimate) && ok;
  return ok;
}

}  // namespace

WireEstimate& WireEstimate::operator+=(const WireEstimate& other) {
  bytesAt115200 += other.bytesAt115200;
  bytesAt9600 += other.bytesAt9600;
  pausesMs += other.pausesMs;
  lowerBound = lowerBound || other.lowerBound;
  return *this;
}

WireEstimate viperEstimate(int device, const std::string& driver, const std::string& image) {
  WireEstimate e;
  e.pausesMs = kViperPausesMs + (device == 1 ? kDevice1WaitMs : kEraseWaitMs);
  e.bytesAt115200 = 5 * kMicroCommandBytes;  // =MP =MR, =MA =MR, =ME
  uint16_t msg[kIspMaxWords] = {};
  for (std::size_t at = kDriverBase; at < kDriverEnd && at < driver.size(); at += 16) {
    std::memset(msg, 0, sizeof msg);
    msg[0] = kDriverWriteRequest;
    msg[1] = static_cast<uint16_t>((at >> 4) & 0xF000);
    msg[2] = static_cast<uint16_t>(at & 0xFFFF);
    for (int k = 0; k < 8; ++k) msg[3 + k] = wordAt(driver, at + 2 * k);
    e.bytesAt115200 += frameLength(msg) + kIspAnswerBytes;
  }
  std::memset(msg, 0, sizeof msg);
  msg[0] = kDriverCallRequest;
  msg[1] = static_cast<uint16_t>(kDriverBase >> 4);
  msg[3] = 0x3300;
  e.bytesAt115200 += frameLength(msg) + kIspAnswerBytes;
  const std::size_t size = image.size();
  std::memset(msg, 0, sizeof msg);
  buildIspModeRequest(msg, kIspProgram, device, 0, static_cast<uint32_t>(size));
  e.bytesAt115200 += 2 * (frameLength(msg) + kIspAnswerBytes);  // and the status request
  if (device == 5 || device == 7)
    e.bytesAt115200 += flashBlocks(image, kHeaderSize, size) + flashBlocks(image, 0, kHeaderSize);
  else
    e.bytesAt115200 += flashBlocks(image, 0, size);
  return e;
}

WireEstimate readEstimate(unsigned long bytes) {
  WireEstimate e;
  const unsigned long blocks = (bytes + kFlashBlock - 1) / kFlashBlock;
  e.bytesAt115200 = blocks * (kReadRequestBytes + kReadAnswerBytes) + 4 * kIspAnswerBytes;
  e.pausesMs = kQuietReadMs;
  return e;
}

WireEstimate edidEstimate(int length) {
  WireEstimate e;
  e.bytesAt115200 = 8 + length + 1 + length + 2;  // command, bytes, sum; '.' each, '~', verdict
  e.pausesMs = kEdidPausesMs;
  return e;
}

WireEstimate gammaEstimate() {
  WireEstimate e;
  e.bytesAt115200 = 11 + 2 * kGammaValues + 1 + kGammaValues + 2;
  e.pausesMs = kGammaPausesMs;
  return e;
}

WireEstimate fpgaEstimate(unsigned long fileBytes) {
  WireEstimate e;
  const unsigned long requests = (fileBytes + kFpgaLargestRequest - 1) / kFpgaLargestRequest;
  e.bytesAt115200 = 8 + fileBytes + 4 * requests + 2;
  e.pausesMs = kFpgaPausesMs + kFpgaSliceMs * requests;
  e.lowerBound = true;  // the card chooses how many requests
  return e;
}

WireEstimate microEstimate(unsigned long microKernel, unsigned long mainKernel,
                           unsigned long writeKernel, unsigned long imageBytes) {
  WireEstimate e;
  e.pausesMs = kMicroPausesMs;
  e.bytesAt115200 = 11 + 7;  // "#MICROMODE\r", "#MICRO\r"
  // At 9600 bit/s: the matching and the micro kernel, every byte echoed.
  e.bytesAt9600 = 2 * (2 + microKernel) + 16;
  const unsigned long blocks = 8 + (imageBytes > 1024 ? (imageBytes - 1024 + 127) / 128 : 0);
  e.bytesAt115200 += mainKernel + writeKernel + 40 + blocks * (1 + 4 + 128 + 1 + 1);
  return e;
}

Outcome dryRun(const DryRunRequest& request) {
  std::printf("\nDry run: nothing that changes the card is sent.\n");
  WireEstimate estimate;
  bool ok = true;
  const std::string& mode = request.mode;
  if (mode == "VIPER") {
    ok = checkViper(request.device, request.fileName, &estimate);
    if (ok && request.verifyAfterWrite)
      ok = checkRead("read back", request.device, fileSize(request.fileName.c_str()), &estimate);
  } else if (mode == "VERIFY") {
    const unsigned long size = fileSize(request.fileName.c_str());
    ok = size > 0 && size <= FlashImage::kMaxSize;
    if (size > FlashImage::kMaxSize)
      std::printf("%s is longer than the %lu bytes a flash device holds.\n",
                  request.fileName.c_str(), static_cast<unsigned long>(FlashImage::kMaxSize));
    if (ok) ok = checkRead("compare with the image", request.device, size, &estimate);
  } else if (mode == "READ") {
    const unsigned long bytes =
        request.readBytes != 0 ? request.readBytes : (request.device == 1 ? 0x100000 : 0x200000);
    ok = checkRead("read", request.device, bytes, &estimate);
  } else if (mode == "EDID") {
    ok = checkEdid(request.fileName, &estimate);
  } else if (mode == "GAMMA") {
    ok = checkGamma(request.fileName, &estimate);
  } else if (mode == "REMOTE") {
    ok = checkRemote(request.fileName, &estimate);
  } else if (mode == "FPGA") {
    ok = checkFpga(request.fileName, &estimate);
  } else if (mode == "MICRO") {
    ok = checkMicro(&estimate);
  } else if (mode == "ALL") {
    ok = checkAll(request.files, request.verifyAfterWrite, &estimate);
  } else if (mode == "STATUS") {
    std::printf("Would print the video processor's status report.\n");
  }
  if (!ok) {
    std::printf("Dry run: the run could not start as it stands.\n");
    return Outcome::Failure;
  }
  std::printf("Dry run: the run could start; at 115200 bit/s it should take %s%.1f s.\n",
              estimate.lowerBound ? "at least " : "about ", estimate.seconds());
  return Outcome::Success;
}
