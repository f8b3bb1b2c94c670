// The simulated card's protocol components are sans-IO: they take bytes in,
// and hand bytes out through a Wire, on a millisecond clock that the Wire
// owns.  The pseudo-terminal loop (pty_loop.cpp) and the unit tests' fake
// port each provide a Wire; the components never touch a file descriptor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace cardsim {

using Ms = uint64_t;

class Wire {
 public:
  virtual ~Wire() = default;

  // Milliseconds since the card was switched on.
  virtual Ms now() const = 0;

  // Queues bytes for the line, `delay` ms from now.  Bytes go out in the
  // order they were queued: a later send never overtakes an earlier one.
  virtual void send(const uint8_t* data, std::size_t n, Ms delay = 0) = 0;
  void send(std::string_view s, Ms delay = 0) {
    send(reinterpret_cast<const uint8_t*>(s.data()), s.size(), delay);
  }
  void sendByte(uint8_t b, Ms delay = 0) { send(&b, 1, delay); }

  // A line for the exchange log: what the card understood or decided.
  virtual void note(const std::string& text) = 0;

  // Pulls the cable: the line drops and comes back as a new device (the
  // pty loop opens a new pseudo-terminal and moves the --link to it).
  virtual void replug() {}

  // The card stops draining the line for `forMs` ms (0: for good): bytes
  // from the updater pile up in the line until its writes stall.
  virtual void stopReading(Ms forMs) { (void)forMs; }
};

}  // namespace cardsim
