#include "boot/image_check.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "boot/boot_mode.h"
#include "boot/srecord_reader.h"
#include "platform/files.h"
#include "common/scoped_file.h"

namespace {

constexpr uint32_t kFirstPhaseBytes = 1024;  // flash 0x000..0x3FF
constexpr uint32_t kSecondPhaseStart = 0x800;

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class ImageCheck {
 public:
  bool run(const std::vector<char>& text);

 private:
  bool refuse(unsigned long line, const std::string& problem) {
    std::printf("Bad appMain.mot file, line %lu: %s\n", line, problem.c_str());
    return false;
  }
  bool record(const std::string& token, unsigned long line);
  bool place(uint32_t address, const std::vector<uint8_t>& bytes, unsigned long line);

  uint32_t firstPhase_ = 0;   // data bytes gathered for 0x000..0x3FF
  uint32_t secondPhase_ = 0;  // data bytes gathered from 0x800
  bool terminated_ = false;
};

std::string format(const char* fmt, unsigned long a, unsigned long b = 0) {
  char text[200];
  std::snprintf(text, sizeof text, fmt, a, b);
  return text;
}

bool ImageCheck::run(const std::vector<char>& text) {
  unsigned long line = 1;
  unsigned long lastLine = 1;
  std::size_t i = 0;
  while (i < text.size()) {
    if (isSpace(text[i])) {
      if (text[i] == '\n') ++line;
      ++i;
      continue;
    }
    std::size_t start = i;
    while (i < text.size() && !isSpace(text[i])) ++i;
    if (!record(std::string(&text[start], i - start), line)) return false;
    lastLine = line;
  }
  line = lastLine;  // the problems below are at the end of the records
  if (firstPhase_ < kFirstPhaseBytes)
    return refuse(line, format("the file ends after %lu of the first 1024 data bytes",
                               firstPhase_));
  if (!terminated_)
    return refuse(line, "no terminating S3 record (address 0xFFFFxxxx) after the data");
  return true;
}

bool ImageCheck::record(const std::string& token, unsigned long line) {
  if (token[0] != 'S') return refuse(line, "the record does not start with S");
  if (token.size() > kMaxRecordLength)
    return refuse(line, format("the record is longer than %lu characters",
                               static_cast<unsigned long>(kMaxRecordLength)));
  for (std::size_t c = 1; c < token.size(); ++c) {
    if (hexValue(token[c]) < 0) {
      const unsigned char bad = static_cast<unsigned char>(token[c]);
      char what[16];
      if (bad > 0x20 && bad < 0x7F)
        std::snprintf(what, sizeof what, "'%c'", bad);
      else
        std::snprintf(what, sizeof what, "0x%02X", bad);
      return refuse(line, std::string("character ") + what +
                              format(" at column %lu is not an upper-case hex digit",
                                     static_cast<unsigned long>(c + 1)));
    }
  }
  const char type = token.size() > 1 ? token[1] : '\0';
  if (token.size() < 4 || token.size() % 2 != 0)
    return refuse(line, "the record does not hold whole bytes");
  std::vector<uint8_t> bytes;  // byte count, address, data, checksum
  for (std::size_t c = 2; c + 1 < token.size(); c += 2)
    bytes.push_back(static_cast<uint8_t>(hexValue(token[c]) * 16 + hexValue(token[c + 1])));
  const uint32_t count = bytes[0];
  if (count + 1 != bytes.size())
    return refuse(line, format("the byte count 0x%02lX does not match the record's %lu bytes",
                               count, static_cast<unsigned long>(bytes.size() - 1)));
  unsigned sum = 0;
  for (std::size_t b = 0; b + 1 < bytes.size(); ++b) sum += bytes[b];
  const uint8_t expected = static_cast<uint8_t>(~sum);
  if (bytes.back() != expected)
    return refuse(line, format("wrong checksum 0x%02lX, expected 0x%02lX", bytes.back(), expected));

  if (type == '1' || type == '2') {
    const std::size_t addressBytes = type == '1' ? 2 : 3;
    if (count > addressBytes + 1)
      return refuse(line, format("an S%lu data record: only S3 records are written to the flash",
                                 static_cast<unsigned long>(type - '0')));
    return true;
  }
  if (type != '3') return true;  // headers, counts and end records are skipped
  if (count < 5) return refuse(line, format("the byte count 0x%02lX is below 5", count));
  const uint32_t address = (uint32_t{bytes[1]} << 24) | (uint32_t{bytes[2]} << 16) |
                           (uint32_t{bytes[3]} << 8) | bytes[4];
  return place(address, std::vector<uint8_t>(bytes.begin() + 5, bytes.end() - 1), line);
}

// The flash write puts the first 1024 data bytes, in file order, at
// 0x000..0x3FF in 128-byte blocks, and every following byte from 0x800 on
// until the terminating record: the addresses must say the same.
bool ImageCheck::place(uint32_t address, const std::vector<uint8_t>& data, unsigned long line) {
  const uint32_t n = static_cast<uint32_t>(data.size());
  const bool terminating = (address >> 16) == 0xFFFF;
  if (terminated_) {
    if (n == 0) return true;
    return refuse(line, "data after the terminating record would not be written");
  }
  if (firstPhase_ < kFirstPhaseBytes) {
    if (terminating)
      return refuse(line, format("terminating record after only %lu of the first 1024 data bytes",
                                 firstPhase_));
    if (n == 0) return true;
    if (address != firstPhase_)
      return refuse(line, format("data at 0x%08lX, expected at 0x%08lX: the first 1024 bytes "
                                 "must run from 0x000 without gaps",
                                 address, firstPhase_));
    if (firstPhase_ % 128 + n > 128)
      return refuse(line, format("a record of %lu data bytes from 0x%08lX straddles a 128-byte "
                                 "write block",
                                 n, address));
    firstPhase_ += n;
    return true;
  }
  if (terminating) {
    terminated_ = true;
    return true;
  }
  if (n == 0) return true;
  const uint32_t expected = kSecondPhaseStart + secondPhase_;
  if (address != expected)
    return refuse(line, format("data at 0x%08lX, expected at 0x%08lX: after the first 1024 bytes "
                               "the data must run from 0x800 without gaps",
                               address, expected));
  if (secondPhase_ + n > kDataBlockSize)
    return refuse(line, format("more than %lu data bytes from 0x800",
                               static_cast<unsigned long>(kDataBlockSize)));
  secondPhase_ += n;
  return true;
}

// A kernel is sent whole from a buffer of kMaxKernelBytes; an empty one
// would leave the microcontroller without its next program.
bool checkKernelFile(const char* name) {
  const platform::FileIdentity identity = platform::identifyFile(name);
  if (identity.exists() && !identity.regular()) {  // a pipe would never end
    std::printf("Bad %s file: not a regular file\n", name);
    return false;
  }
  const ScopedFile f(name, "rb");
  if (!f) {
    if (errno == ENOENT)
      std::printf("Bad %s file: not found in the current directory\n", name);
    else
      std::printf("Bad %s file: cannot be read\n", name);
    return false;
  }
  unsigned char chunk[kMaxKernelBytes + 1];
  const std::size_t n = std::fread(chunk, 1, sizeof chunk, f.get());
  if (std::ferror(f.get())) {
    std::printf("Bad %s file: cannot be read\n", name);
    return false;
  }
  if (n == 0) {
    std::printf("Bad %s file: it is empty\n", name);
    return false;
  }
  if (n > kMaxKernelBytes) {
    std::printf("Bad %s file: longer than the %lu bytes a kernel may hold\n", name,
                static_cast<unsigned long>(kMaxKernelBytes));
    return false;
  }
  return true;
}

}  // namespace

bool checkMicroImageFile(const char* path) {
  const ScopedFile f(path, "rb");
  if (!f) {
    std::printf("Bad appMain.mot file: cannot be read\n");
    return false;
  }
  std::vector<char> text;
  char chunk[8192];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f.get())) > 0)
    text.insert(text.end(), chunk, chunk + n);
  if (std::ferror(f.get())) {
    std::printf("Bad appMain.mot file: cannot be read\n");
    return false;
  }
  ImageCheck check;
  return check.run(text);
}

bool checkMicroFiles() {
  // Every file is looked at, so that one run names every problem.
  bool good = true;
  for (const char* kernel : {kMicroKernelFile, kMainKernelFile, kWriteKernelFile})
    good = checkKernelFile(kernel) && good;
  return checkMicroImageFile(kMicroImageFile) && good;
}
