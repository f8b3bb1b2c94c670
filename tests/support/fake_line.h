// A serial line on a virtual clock for the unit tests.
//
// FakeLine installs itself as the platform hooks: the updater's port opens
// onto it, GetTickCount and Sleep run on virtual milliseconds, and _getch
// takes scripted key presses.  Reads honour COMMTIMEOUTS by moving the
// virtual clock to the next arriving byte or to the time-out, so protocol
// time-outs of many seconds run in microseconds.  The far end of the line
// is a Peer: a scripted one, or the simulated card itself (SimPeer).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix_device.h"

namespace testsupport {

class FakeLine;

// The far end of the line.
class Peer {
 public:
  virtual ~Peer() = default;
  // Bytes the updater wrote, at the bit rate its port was set to.
  virtual void onWrite(const uint8_t* data, std::size_t n, uint32_t baud, FakeLine& line) = 0;
  // The next virtual time at which the peer wants to act on its own.
  virtual std::optional<uint64_t> nextEvent() const { return std::nullopt; }
  virtual void onEvent(FakeLine& line) { (void)line; }
};

class FakeLine : public platform::Hooks {
 public:
  // `tickBase` is GetTickCount() at virtual time 0 (set it just below 2^32
  // to test the wrap of deadlines).
  explicit FakeLine(uint32_t tickBase = 1000000);
  ~FakeLine() override;

  void setPeer(Peer* peer) { peer_ = peer; }

  // Bytes that reach the updater `delay` ms from now (never before bytes
  // delivered earlier).
  void deliver(const std::vector<uint8_t>& bytes, uint64_t delay = 0);
  void deliver(const std::string& text, uint64_t delay = 0);

  // Virtual milliseconds since the line was made.
  uint64_t now() const { return now_; }
  void advanceTo(uint64_t t);

  // Everything the updater wrote, in order.
  std::vector<uint8_t> written;
  std::string writtenText() const { return std::string(written.begin(), written.end()); }

  // Key presses for _getch; when none are left it returns -1 (end of input).
  std::deque<int> keys;
  int keysRead = 0;

  // Opening a port fails with this Win32 code when not 0.
  uint32_t openError = 0;
  int opens = 0;

  // The settings the updater applied last.
  DCB dcb{};
  COMMTIMEOUTS timeouts{};
  uint32_t baud() const { return static_cast<uint32_t>(dcb.BaudRate); }

  // The next `n` reads fail (ERROR_IO_DEVICE) on a line that stays.
  int failReads = 0;

  // A line that misbehaves on writes.
  // Every write moves nothing: it returns success with 0 bytes once the
  // write time-out (multiplier x bytes + constant) has passed on the clock.
  // With no write time-out it still takes 1 ms, so that a loop of stalled
  // writes sees the clock move and its own limit can end it.
  bool stallWrites = false;
  // When not 0, one write call moves at most this many bytes.
  std::size_t shortWriteLimit = 0;
  // The next `n` write calls fail (ERROR_GEN_FAILURE).
  int failWrites = 0;
  // The device is gone: every call on a handle opened before fails with
  // ERROR_IO_DEVICE, as the POSIX layer reports a tty whose other end went
  // away, and opening the port fails with ERROR_FILE_NOT_FOUND.  `replug()`
  // brings the device back for new opens; old handles stay dead, as after
  // a real unplug, so only a reopen recovers.
  void vanish();
  void replug();
  bool vanished() const { return vanished_; }

  // Hooks.
  uint32_t ticks() override { return static_cast<uint32_t>(tickBase_ + now_); }
  void sleep(uint32_t ms) override { advanceTo(now_ + ms); }
  int getch() override;
  std::unique_ptr<platform::Device> open(const std::string& portName, DWORD* error) override;

  // Used by the fake device.
  void write(const uint8_t* data, std::size_t n);
  std::size_t available() const;
  std::optional<uint64_t> nextArrival() const;
  // The earlier of the next arrival and the peer's next own action.
  std::optional<uint64_t> nextActivity() const;
  std::size_t take(uint8_t* out, std::size_t max);
  // Handles remember the plug they were opened on; a vanish ends it.
  int plug() const { return plug_; }
  bool deviceGone(int plug) const { return vanished_ || plug != plug_; }

 private:
  struct Arrival {
    uint64_t at;
    uint8_t byte;
  };
  uint32_t tickBase_;
  uint64_t now_ = 0;
  uint64_t lastArrival_ = 0;
  std::deque<Arrival> incoming_;
  Peer* peer_ = nullptr;
  bool vanished_ = false;
  int plug_ = 0;
};

}  // namespace testsupport
