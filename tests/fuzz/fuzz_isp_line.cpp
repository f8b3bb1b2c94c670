// The ISP line decoding and the message checksum on any received bytes.
// Decoding never yields more bytes than it was given; what decodes, encodes
// and decodes back to itself; the diagnostic comparison stays within the
// frame; a message sealed by createChecksum passes checksumOK whatever its
// header says.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "isp/isp_message.h"
#include "isp/line_encoding.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size > 4096) return 0;
  const int length = static_cast<int>(size);
  // In a received frame the encoded bytes are followed by the closing CR,
  // which an escape in the last place takes as its partner.
  std::vector<unsigned char> store(data, data + size);
  store.push_back('\r');
  std::vector<unsigned char> decoded(size + 1);
  const int n = yDecode(decoded.data(), store.data(), length);
  if (n < 0 || n > length) __builtin_trap();

  std::vector<unsigned char> frame(2 * static_cast<std::size_t>(n) + 4);
  const int framed = yEncode(frame.data(), decoded.data(), n);
  if (framed < n + 3 || framed > 2 * n + 3 || frame[0] != '=' || frame[1] != 'G' ||
      frame[static_cast<std::size_t>(framed) - 1] != '\r')
    __builtin_trap();
  for (int i = 2; i < framed - 1; ++i)
    if (frame[static_cast<std::size_t>(i)] == '\r') __builtin_trap();
  std::vector<unsigned char> again(static_cast<std::size_t>(n) + 1);
  if (yDecode(again.data(), frame.data() + 2, framed - 3) != n ||
      std::memcmp(again.data(), decoded.data(), static_cast<std::size_t>(n)) != 0)
    __builtin_trap();

  // The diagnostic comparison of a whole received frame with those bytes.
  std::vector<unsigned char> received{'=', 'G'};
  received.insert(received.end(), data, data + size);
  received.push_back('\r');
  std::vector<unsigned char> reference(decoded.begin(), decoded.end());
  reference.resize(256);
  validateEncoding(received.data(), static_cast<int>(received.size()), reference.data());

  // The decoded bytes as an answer: words low byte first, in an array of
  // the largest message's size.
  uint16_t msg[kIspMaxWords] = {};
  for (int i = 0; i + 1 < n && i / 2 < kIspMaxWords; i += 2)
    msg[i / 2] = static_cast<uint16_t>(decoded[static_cast<std::size_t>(i)] |
                                       decoded[static_cast<std::size_t>(i) + 1] << 8);
  checksumOK(msg);
  createChecksum(msg);
  if (!checksumOK(msg)) __builtin_trap();
  return 0;
}
