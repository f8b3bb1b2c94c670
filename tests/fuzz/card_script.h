// The fuzz input as the card's side of the serial line.
//
// The targets that fuzz the updater's readers of the link run it against a
// FakeLine (virtual clock, so every time-out costs nothing) whose far end
// plays the input as a script of bursts:
//
//   burst = header byte, length byte, that many bytes (fewer at the end)
//
// Header bit 7 set: the burst answers the updater's next message (the
// write calls of one virtual millisecond: a command, a request frame, the
// data asked for) and its delay counts from that message.  Clear: its delay
// counts from the burst before it, whatever the updater does.  Bits 6..0, d:
// the delay is d x 10 ms below 64, else (d - 64) x 250 ms, so that every
// protocol deadline (2 s, 3 s, 10 s) can be met, straddled or missed.
//
// When the script is spent and `unplugAfterMs` pass without a byte either
// way, the device vanishes: every later call on the port fails.  A wait that
// has no limit of its own (the FPGA request loop waits for the card for
// ever, by design) therefore still ends, through the lost-port path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "link/serial_link.h"
#include "support/fake_line.h"

namespace fuzzsupport {

struct Burst {
  bool afterWrite = false;
  uint64_t delay = 0;
  std::vector<uint8_t> bytes;
};

inline std::vector<Burst> parseScript(const uint8_t* data, std::size_t size) {
  std::vector<Burst> script;
  std::size_t at = 0;
  while (at + 2 <= size) {
    Burst b;
    const uint8_t header = data[at];
    const unsigned d = header & 0x7F;
    b.afterWrite = (header & 0x80) != 0;
    b.delay = d < 64 ? d * 10u : (d - 64u) * 250u;
    std::size_t n = data[at + 1];
    at += 2;
    if (n > size - at) n = size - at;
    b.bytes.assign(data + at, data + at + n);
    at += n;
    script.push_back(std::move(b));
  }
  return script;
}

class ScriptedCard : public testsupport::Peer {
 public:
  ScriptedCard(testsupport::FakeLine& line, std::vector<Burst> script, uint64_t unplugAfterMs)
      : line_(line), script_(std::move(script)), unplugAfter_(unplugAfterMs) {
    line_.setPeer(this);
    release(0, false);
  }
  ~ScriptedCard() override { line_.setPeer(nullptr); }

  void onWrite(const uint8_t*, std::size_t, uint32_t, testsupport::FakeLine& line) override {
    const uint64_t now = line.now();
    const bool newMessage = !wrote_ || now > lastWrite_;
    wrote_ = true;
    lastWrite_ = now;
    if (!newMessage || next_ >= script_.size() || !script_[next_].afterWrite) return;
    release(now, true);
  }

  std::optional<uint64_t> nextEvent() const override {
    if (unplugged_) return std::nullopt;
    uint64_t quietFrom = lastArrival_;
    if (wrote_ && lastWrite_ > quietFrom) quietFrom = lastWrite_;
    return quietFrom + unplugAfter_;
  }

  void onEvent(testsupport::FakeLine& line) override {
    // Bursts still waiting for a message that never came are dropped
    // with the device.
    unplugged_ = true;
    line.vanish();
  }

  bool unplugged() const { return unplugged_; }

 private:
  // Delivers, counting from `from`, the burst that answers a message (when
  // `answering`) and every timed burst after it, up to the next one that
  // waits for a message.
  void release(uint64_t from, bool answering) {
    uint64_t at = from;
    bool first = answering;
    while (next_ < script_.size() && (first || !script_[next_].afterWrite)) {
      const Burst& b = script_[next_++];
      at += b.delay;
      if (at < lastArrival_) at = lastArrival_;
      line_.deliver(b.bytes, at - line_.now());
      lastArrival_ = at;
      first = false;
    }
  }

  testsupport::FakeLine& line_;
  std::vector<Burst> script_;
  std::size_t next_ = 0;
  uint64_t unplugAfter_;
  uint64_t lastArrival_ = 0;
  uint64_t lastWrite_ = 0;
  bool wrote_ = false;
  bool unplugged_ = false;
};

// What every target that drives the link sets up: the fake line, the card
// playing the script on its far end, and the updater's link opened on it.
struct ScriptedPort {
  ScriptedPort(std::vector<Burst> script, uint64_t unplugAfterMs)
      : card(line, std::move(script), unplugAfterMs) {
    if (!link.open()) __builtin_trap();
  }
  testsupport::FakeLine line;
  ScriptedCard card;  // after the line, which it plays on
  SerialLink link{"COM1"};
};

}  // namespace fuzzsupport
