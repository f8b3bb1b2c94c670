#include "components/isp_frame.h"

namespace cardsim {
namespace isp {
namespace {

bool critical(uint8_t c) { return c == 0x00 || c == 0x09 || c == 0x0A || c == 0x0D || c == 0x3D; }

}  // namespace

std::vector<uint8_t> encode(const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    uint8_t c = static_cast<uint8_t>(b + 42);
    if (critical(c)) {
      out.push_back('=');
      out.push_back(static_cast<uint8_t>(c + 64));
    } else {
      out.push_back(c);
    }
  }
  return out;
}

bool decode(const std::vector<uint8_t>& encoded, std::vector<uint8_t>* bytes) {
  bytes->clear();
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    uint8_t c = encoded[i];
    if (c == '=') {
      if (++i == encoded.size()) return false;
      c = static_cast<uint8_t>(encoded[i] - 64);
    }
    bytes->push_back(static_cast<uint8_t>(c - 42));
  }
  return true;
}

std::vector<uint8_t> toBytes(const std::vector<uint16_t>& words) {
  std::vector<uint8_t> out;
  out.reserve(words.size() * 2);
  for (uint16_t w : words) {
    out.push_back(static_cast<uint8_t>(w & 0xFF));
    out.push_back(static_cast<uint8_t>(w >> 8));
  }
  return out;
}

std::vector<uint16_t> toWords(const std::vector<uint8_t>& bytes) {
  std::vector<uint16_t> out;
  out.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
    out.push_back(static_cast<uint16_t>(bytes[i] | bytes[i + 1] << 8));
  return out;
}

uint16_t checksum(const uint16_t* words, std::size_t n) {
  uint16_t sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum = static_cast<uint16_t>(sum + words[i]);
  return static_cast<uint16_t>(0u - sum);
}

bool checksumOk(const std::vector<uint16_t>& message) {
  if (message.empty()) return false;
  return checksum(message.data(), message.size() - 1) == message.back();
}

std::vector<uint16_t> sealed(std::vector<uint16_t> words) {
  words.push_back(checksum(words.data(), words.size()));
  return words;
}

std::vector<uint8_t> frame(const std::vector<uint16_t>& message) {
  std::vector<uint8_t> out{'=', 'G'};
  std::vector<uint8_t> body = encode(toBytes(message));
  out.insert(out.end(), body.begin(), body.end());
  out.push_back('\r');
  return out;
}

}  // namespace isp
}  // namespace cardsim
