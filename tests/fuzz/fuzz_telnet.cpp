// What a console server sends, to the Telnet/RFC 2217 client: the codec on
// its own, fed whole and a byte at a time, and the network port opening
// and reading on a connection that plays the input on the virtual clock.
//
// Must hold: data out never exceeds the bytes in, nor replies (each answers
// a three-byte request); the split of the input changes nothing; data
// without IAC passes unchanged, and escaped data comes back as it went; an
// open that succeeds had the rate it asked for answered; every call ends.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "link/network_port.h"
#include "link/rfc2217.h"
#include "support/fake_line.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Result {
  Bytes data, reply;
  bool ready, refused;
  telnet::ClientSession::Answer baud;
  unsigned ignored;
  bool operator==(const Result& o) const {
    return data == o.data && reply == o.reply && ready == o.ready && refused == o.refused &&
           baud.count == o.baud.count && baud.value == o.baud.value && ignored == o.ignored;
  }
};

Result feed(const uint8_t* in, std::size_t size, std::size_t step) {
  telnet::ClientSession session;
  Bytes start;
  session.start(&start);
  Result r;
  for (std::size_t at = 0; at < size; at += step)
    session.receive(in + at, std::min(step, size - at), &r.data, &r.reply);
  r.ready = session.comPortReady();
  r.refused = session.refusedNeededOption();
  r.baud = session.answer(telnet::kSetBaudRate);
  r.ignored = session.ignoredSubnegotiations();
  return r;
}

// Plays the input in pieces of `step` bytes, one a millisecond, then
// stays silent (or closes, when the input says so) for the rest.
class PlayedConnection : public platform::TcpConnection {
 public:
  PlayedConnection(testsupport::FakeLine& line, const uint8_t* in, std::size_t size,
                   std::size_t step, bool closeAtEnd)
      : line_(line), in_(in), size_(size), step_(step), closeAtEnd_(closeAtEnd) {}
  Io receive(void* buffer, std::size_t capacity, std::size_t* got, uint32_t timeoutMs) override {
    *got = 0;
    if (at_ >= size_) {
      if (closeAtEnd_) return Io::kClosed;
      line_.advanceTo(line_.now() + timeoutMs);
      return Io::kTimeout;
    }
    line_.advanceTo(line_.now() + 1);
    *got = std::min({capacity, step_, size_ - at_});
    std::copy(in_ + at_, in_ + at_ + *got, static_cast<uint8_t*>(buffer));
    at_ += *got;
    return Io::kOk;
  }
  Io send(const void*, std::size_t count, std::size_t* sent, uint32_t) override {
    *sent = count;
    return Io::kOk;
  }

 private:
  testsupport::FakeLine& line_;
  const uint8_t* in_;
  std::size_t size_, step_, at_ = 0;
  bool closeAtEnd_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1 || size > 4096) return 0;
  const std::size_t step = 1 + data[0] % 17;
  const bool closeAtEnd = (data[0] & 0x80) != 0;
  const uint8_t* in = data + 1;
  const std::size_t n = size - 1;

  const Result whole = feed(in, n, n == 0 ? 1 : n);
  if (whole.data.size() > n || whole.reply.size() > n) __builtin_trap();
  if (!(feed(in, n, step) == whole) || !(feed(in, n, 1) == whole)) __builtin_trap();
  if (std::find(in, in + n, telnet::kIac) == in + n && whole.data != Bytes(in, in + n))
    __builtin_trap();
  Bytes escaped;
  telnet::escapeData(in, n, &escaped);
  if (feed(escaped.data(), escaped.size(), step).data != Bytes(in, in + n)) __builtin_trap();

  testsupport::FakeLine line;
  NetworkPort port(parsePortName("rfc2217://server:4001"),
                   [&](const std::string&, const std::string&, uint32_t, uint32_t*,
                       std::string*) -> std::unique_ptr<platform::TcpConnection> {
                     return std::make_unique<PlayedConnection>(line, in, n, step, closeAtEnd);
                   });
  if (port.open(115200)) {
    if (port.baudRate() != 115200) __builtin_trap();
    port.setTimeouts({0, 0, 50, 0, 50});
    uint8_t buffer[64];
    DWORD got = 0;
    for (int i = 0; i < 8; ++i) {
      if (!port.read(buffer, sizeof buffer, &got)) break;
      if (got > sizeof buffer) __builtin_trap();
    }
    if (!port.setBaudRate(9600) && !port.lost() && port.baudRate() != 115200) __builtin_trap();
  }
  return 0;
}
