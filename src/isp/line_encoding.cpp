#include "isp/line_encoding.h"

#include <cstdint>
#include <cstdio>

namespace {

constexpr unsigned char kEscape = 0x3D;  // '='

bool critical(unsigned char c) {
  return c == 0x00 || c == 0x09 || c == 0x0A || c == 0x0D || c == kEscape;
}

}  // namespace

int yEncode(unsigned char* encoded, const unsigned char* data, int length) {
  int out = 0;
  encoded[out++] = 0x3D;
  encoded[out++] = 0x47;
  for (int i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(data[i] + 42);
    if (critical(c)) {
      encoded[out++] = kEscape;
      encoded[out++] = static_cast<unsigned char>(c + 64);
    } else {
      encoded[out++] = c;
    }
  }
  encoded[out++] = 0x0D;
  encoded[out] = 0x00;
  return out;
}

int yDecode(unsigned char* decoded, const unsigned char* data, int length) {
  int out = 0;
  int i = 0;
  while (i < length) {
    unsigned char c = data[i];
    // An escape in the last position pairs with the byte after the encoded
    // run (in a received frame, the closing CR, which lies in the store).
    if (c == kEscape) {
      ++i;
      c = static_cast<unsigned char>(data[i] - 64);
    }
    decoded[out++] = static_cast<unsigned char>(c - 42);
    ++i;
  }
  return out;
}

void validateEncoding(const unsigned char* msgEncoded, int nbBytes, const unsigned char* msg) {
  unsigned char scratch[256];
  const int encodedLength = static_cast<int16_t>(nbBytes) - 3;
  if (encodedLength <= 0) return;
  // 128 encoded bytes decode to at most 128 bytes: cap the run so the
  // scratch array holds whatever it yields.
  const int decoded = yDecode(scratch, msgEncoded + 2, encodedLength > 255 ? 255 : encodedLength);
  for (int i = 0; i < decoded; ++i) {
    if (msg[i] != scratch[i])
      std::printf("0x%02x/0x%02x\n",
                  static_cast<unsigned>(static_cast<int>(static_cast<signed char>(msg[i]))),
                  static_cast<unsigned>(static_cast<int>(static_cast<signed char>(scratch[i]))));
  }
}
