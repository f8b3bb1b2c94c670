// The serial line's timing between the updater and the card.
//
// A UART sends ten bits per byte at 8N1 (start bit, eight data bits, stop
// bit), so at 115200 bit/s a byte takes 86.8 us and at 9600 bit/s 1.04 ms;
// a byte reaches the far end when its stop bit has gone, and the next byte
// cannot start before that.  A USB serial adapter on the updater's side adds
// its latency timer: it holds what the card sends until a 62-byte packet is
// full or the line has been quiet for the latency period.
//
// Sans-IO: bytes go in with the time they were put on the line and the bit
// rate they were sent at; they come out once they have crossed it.  The
// pty loop asks for the next due time and waits in poll() until then.  With
// neither pacing nor latency, every byte is due at the time it went in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace cardsim {

using Ns = uint64_t;  // nanoseconds on the loop's monotonic clock

struct PacerSettings {
  bool lineRate = false;  // bytes take their time on the wire
  Ns latency = 0;         // adapter latency on the card's bytes; 0: none
};

// Bytes that have crossed the line, with the rate they were sent at.
struct Crossed {
  std::vector<uint8_t> bytes;
  uint32_t baud = 0;
  Ns at = 0;  // when the last of them arrived
};

class LinePacer {
 public:
  static constexpr std::size_t kPacketBytes = 62;  // payload of a 64-byte USB packet
  static constexpr std::size_t kGroupBytes = 32;   // bytes handed on per wake-up at most

  explicit LinePacer(PacerSettings settings) : settings_(settings) {}

  bool active() const { return settings_.lineRate || settings_.latency != 0; }

  // Bytes the updater wrote, taken from the line at `now` (baud 0: rate
  // unknown, not paced).
  void fromUpdater(Ns now, const uint8_t* data, std::size_t n, uint32_t baud);
  // Bytes the card's UART starts sending at `now`.
  void fromCard(Ns now, const uint8_t* data, std::size_t n, uint32_t baud);

  // The earliest time at which toCard or toUpdater has something, if any.
  std::optional<Ns> nextDue() const;

  // What has reached the card, or the updater, by `now`, oldest first.
  std::vector<Crossed> toCard(Ns now);
  std::vector<Crossed> toUpdater(Ns now);

 private:
  struct Byte {
    Ns at;  // arrival at the far end
    uint8_t value;
    uint32_t baud;
  };

  // One direction of the line: bytes in flight, in order.
  struct Direction {
    std::deque<Byte> inFlight;
    Ns lineFree = 0;  // when the last byte queued has gone

    void put(Ns now, const uint8_t* data, std::size_t n, uint32_t baud, bool paced);
    // Arrival of the last byte of the run that the front byte begins: bytes
    // sent back to back are handed on together, up to kGroupBytes, so that
    // a burst costs one wake-up per group instead of one per byte.
    std::optional<Ns> groupDue() const;
    std::vector<Crossed> take(Ns now);
  };

  // When the adapter sends its next packet, given what is in flight.
  std::optional<Ns> packetDue() const;

  PacerSettings settings_;
  Direction toCard_, toUpdater_;
  std::vector<uint8_t> packet_;  // held by the adapter
  uint32_t packetBaud_ = 0;
  Ns packetQuietAt_ = 0;  // the latency period ends here without a new byte
};

}  // namespace cardsim
