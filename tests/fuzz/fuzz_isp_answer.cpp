// The ISP frame receiver and the answer checks of a transaction, with the
// input as the video processor's bytes (see card_script.h).  First input
// byte: even, ReadISPResponse alone; odd, one sendISPCmd of a request
// picked by the byte.
//  - the receiver never stores past its frame store, and what it returns is
//    a frame: "=G" first, and the CR last unless the store limit ended it;
//  - the request goes out once, exactly as encoded;
//  - the answer fills at most the 18 words of the largest message;
//  - an accepted answer is neither a NACK nor an echo of the request, and
//    one called well formed passes its checksum.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "card_script.h"
#include "isp/isp_message.h"
#include "isp/isp_transaction.h"
#include "isp/line_encoding.h"
#include "link/serial_link.h"

namespace {

constexpr uint16_t kRequests[] = {kIspModeStatusRequest, kFlashReadRequest, kDeviceNameRequest,
                                  kStatusRequest,        kCalibrationReadRequest,
                                  kDriverCallRequest,    kIspModeRequest,   kFlashWriteRequest};
constexpr int kFrameStore = 305;

void receiveOnce(SerialLink& link) {
  // Exactly the store's size, so that the address sanitizer sees a byte
  // written past it.
  auto frame = std::make_unique<unsigned char[]>(kFrameStore);
  const IspFrameRead read = ReadISPResponse(link, frame.get(), kFrameStore);
  const int n = read.length;
  if (n < 0 || n > kFrameStore) __builtin_trap();
  if (read.status != IspFrameRead::Status::kFrame) {
    if (n != 0) __builtin_trap();
    return;
  }
  if (n < 3 || frame[0] != '=' || frame[1] != 'G') __builtin_trap();
  if (frame[n - 1] != '\r' && n < 255) __builtin_trap();
}

void transactOnce(SerialLink& link, testsupport::FakeLine& line, uint8_t pick) {
  const uint16_t header = kRequests[(pick >> 1) % (sizeof kRequests / sizeof kRequests[0])];
  const int words = ispWords(header);
  auto msg = std::make_unique<uint16_t[]>(static_cast<std::size_t>(words));
  msg[0] = header;
  for (int k = 1; k < words; ++k) msg[k] = static_cast<uint16_t>(k * 0x0101);
  auto response = std::make_unique<uint16_t[]>(kIspMaxWords);
  bool wellFormed = false;
  const IspResult r = sendISPCmd(link, msg.get(), response.get(), 0, &wellFormed);

  // The request on the line: the sealed message's frame, once.
  std::vector<unsigned char> bytes;
  for (int k = 0; k < words; ++k) {
    bytes.push_back(static_cast<unsigned char>(msg[k] & 0xFF));
    bytes.push_back(static_cast<unsigned char>(msg[k] >> 8));
  }
  std::vector<unsigned char> frame(2 * bytes.size() + 4);
  const int length = yEncode(frame.data(), bytes.data(), static_cast<int>(bytes.size()));
  if (line.written != std::vector<uint8_t>(frame.begin(), frame.begin() + length))
    __builtin_trap();

  if (r == IspResult::Accepted &&
      (ispId(response[0]) == kNackId || response[0] == msg[0]))
    __builtin_trap();
  if (r == IspResult::Refused && ispId(response[0]) != kNackId && response[0] != msg[0])
    __builtin_trap();
  if (wellFormed && (r == IspResult::NoAnswer || r == IspResult::PortFailure ||
                     !checksumOK(response.get())))
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1 || size > 4096) return 0;
  fuzzsupport::ScriptedPort port(fuzzsupport::parseScript(data + 1, size - 1), 30000);
  if (data[0] & 1)
    transactOnce(port.link, port.line, data[0]);
  else
    receiveOnce(port.link);
  return 0;
}
