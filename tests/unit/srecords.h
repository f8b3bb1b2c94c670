// Motorola S-record text for the tests of the image readers and the
// boot-mode programmer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace srec {

// One record of type `type` ('0' to '9') with an address of `addressBytes`
// bytes, most significant first, and a correct checksum.
inline std::string record(char type, int addressBytes, uint32_t address,
                          const std::vector<uint8_t>& data) {
  std::vector<uint8_t> bytes;
  bytes.push_back(static_cast<uint8_t>(addressBytes + data.size() + 1));
  for (int i = addressBytes - 1; i >= 0; --i)
    bytes.push_back(static_cast<uint8_t>(address >> (8 * i)));
  bytes.insert(bytes.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (uint8_t b : bytes) sum += b;
  bytes.push_back(static_cast<uint8_t>(~sum));
  std::string text = std::string("S") + type;
  char pair[3];
  for (uint8_t b : bytes) {
    std::snprintf(pair, sizeof pair, "%02X", b);
    text += pair;
  }
  return text;
}

inline std::string s3(uint32_t address, const std::vector<uint8_t>& data) {
  return record('3', 4, address, data);
}

// `n` bytes counting up from `first`.
inline std::vector<uint8_t> ramp(std::size_t n, unsigned first = 0) {
  std::vector<uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + i);
  return v;
}

// An image as the flash write expects it: an S0 header, `first` (1024
// bytes) in records of `recordSize` bytes from 0, `second` in records of
// `recordSize` bytes from 0x800, the terminating record at 0xFFFF0000 and an
// S7 end record; one record per line.
inline std::vector<std::string> image(const std::vector<uint8_t>& first,
                                      const std::vector<uint8_t>& second,
                                      std::size_t recordSize = 16) {
  std::vector<std::string> lines;
  lines.push_back(record('0', 2, 0, {'a', 'p', 'p'}));
  for (std::size_t i = 0; i < first.size(); i += recordSize)
    lines.push_back(s3(static_cast<uint32_t>(i),
                       std::vector<uint8_t>(first.begin() + i,
                                            first.begin() + std::min(first.size(), i + recordSize))));
  for (std::size_t i = 0; i < second.size(); i += recordSize)
    lines.push_back(
        s3(static_cast<uint32_t>(0x800 + i),
           std::vector<uint8_t>(second.begin() + i,
                                second.begin() + std::min(second.size(), i + recordSize))));
  lines.push_back(s3(0xFFFF0000u, {}));
  lines.push_back(record('7', 4, 0, {}));
  return lines;
}

inline std::string join(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  return text;
}

}  // namespace srec
