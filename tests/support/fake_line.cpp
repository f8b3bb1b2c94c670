#include "support/fake_line.h"

#include <algorithm>

namespace testsupport {
namespace {

class FakeDevice : public platform::Device {
 public:
  explicit FakeDevice(FakeLine& line) : line_(line), plug_(line.plug()) {
    line_.dcb.DCBlength = sizeof(DCB);
    line_.dcb.BaudRate = 9600;
    line_.dcb.ByteSize = 8;
    line_.dcb.fRtsControl = RTS_CONTROL_ENABLE;
    line_.dcb.fDtrControl = DTR_CONTROL_ENABLE;
    line_.dcb.fOutX = 1;  // as a fresh tty reports it
  }

  BOOL read(void* buf, DWORD count, DWORD* got) override {
    *got = 0;
    if (gone()) return FALSE;
    if (line_.failReads > 0) {
      --line_.failReads;
      SetLastError(ERROR_IO_DEVICE);
      return FALSE;
    }
    if (count == 0) return TRUE;
    auto* out = static_cast<uint8_t*>(buf);
    const COMMTIMEOUTS& t = line_.timeouts;
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD) {
      uint64_t end = line_.now() + t.ReadTotalTimeoutConstant;
      while (line_.available() == 0) {
        std::optional<uint64_t> next = line_.nextActivity();
        if (!next || *next > end) {
          line_.advanceTo(end);
          break;
        }
        line_.advanceTo(std::max(*next, line_.now()));
      }
      *got = static_cast<DWORD>(line_.take(out, count));
      return TRUE;
    }
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0) {
      *got = static_cast<DWORD>(line_.take(out, count));
      return TRUE;
    }
    // Count satisfied or total time-out passed.
    uint64_t total = static_cast<uint64_t>(t.ReadTotalTimeoutMultiplier) * count +
                     t.ReadTotalTimeoutConstant;
    uint64_t end = line_.now() + total;
    DWORD n = 0;
    for (;;) {
      n += static_cast<DWORD>(line_.take(out + n, count - n));
      if (n == count) break;
      std::optional<uint64_t> next = line_.nextActivity();
      if (total != 0 && (!next || *next > end)) {
        line_.advanceTo(end);
        n += static_cast<DWORD>(line_.take(out + n, count - n));
        break;
      }
      if (!next) break;  // nothing will ever come: do not hang the test
      line_.advanceTo(std::max(*next, line_.now()));
    }
    *got = n;
    return TRUE;
  }

  BOOL write(const void* buf, DWORD count, DWORD* put) override {
    *put = 0;
    if (gone()) return FALSE;
    if (line_.failWrites > 0) {
      --line_.failWrites;
      SetLastError(ERROR_GEN_FAILURE);
      return FALSE;
    }
    if (count == 0) return TRUE;
    if (line_.stallWrites) {
      // Nothing moves until the write time-out ends the call, as on Windows.
      const COMMTIMEOUTS& t = line_.timeouts;
      uint64_t limit = static_cast<uint64_t>(t.WriteTotalTimeoutMultiplier) * count +
                       t.WriteTotalTimeoutConstant;
      line_.advanceTo(line_.now() + std::max<uint64_t>(limit, 1));
      return TRUE;
    }
    DWORD n = count;
    if (line_.shortWriteLimit != 0 && n > line_.shortWriteLimit)
      n = static_cast<DWORD>(line_.shortWriteLimit);
    line_.write(static_cast<const uint8_t*>(buf), n);
    *put = n;
    return TRUE;
  }
  BOOL getState(DCB* dcb) override {
    if (gone()) return FALSE;
    *dcb = line_.dcb;
    return TRUE;
  }
  BOOL setState(const DCB* dcb) override {
    if (gone()) return FALSE;
    line_.dcb = *dcb;
    return TRUE;
  }
  BOOL setTimeouts(const COMMTIMEOUTS* t) override {
    if (gone()) return FALSE;
    line_.timeouts = *t;
    return TRUE;
  }
  DWORD size(DWORD* high) override {
    if (high) *high = 0;
    return 0;
  }

 private:
  // A call on a device that has been unplugged fails as the POSIX layer's
  // does for a tty whose other end is gone.
  bool gone() const {
    if (!line_.deviceGone(plug_)) return false;
    SetLastError(ERROR_IO_DEVICE);
    return true;
  }

  FakeLine& line_;
  const int plug_;
};

}  // namespace

FakeLine::FakeLine(uint32_t tickBase) : tickBase_(tickBase) { platform::installHooks(this); }

FakeLine::~FakeLine() { platform::installHooks(nullptr); }

void FakeLine::write(const uint8_t* data, std::size_t n) {
  written.insert(written.end(), data, data + n);
  if (peer_) peer_->onWrite(data, n, baud(), *this);
}

void FakeLine::deliver(const std::vector<uint8_t>& bytes, uint64_t delay) {
  uint64_t at = std::max(now_ + delay, lastArrival_);
  lastArrival_ = at;
  for (uint8_t b : bytes) incoming_.push_back(Arrival{at, b});
}

void FakeLine::deliver(const std::string& text, uint64_t delay) {
  deliver(std::vector<uint8_t>(text.begin(), text.end()), delay);
}

void FakeLine::advanceTo(uint64_t t) {
  // Let the peer act at its own times on the way.
  while (peer_) {
    std::optional<uint64_t> e = peer_->nextEvent();
    if (!e || *e > t) break;
    if (*e > now_) now_ = *e;
    peer_->onEvent(*this);
  }
  if (t > now_) now_ = t;
}

int FakeLine::getch() {
  ++keysRead;
  if (keys.empty()) return -1;
  int k = keys.front();
  keys.pop_front();
  return k;
}

void FakeLine::vanish() {
  vanished_ = true;
  ++plug_;
  incoming_.clear();  // what the old device held is lost with it
}

void FakeLine::replug() { vanished_ = false; }

std::unique_ptr<platform::Device> FakeLine::open(const std::string&, DWORD* error) {
  ++opens;
  if (openError != 0 || vanished_) {
    *error = openError != 0 ? openError : ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  return std::make_unique<FakeDevice>(*this);
}

std::size_t FakeLine::available() const {
  std::size_t n = 0;
  for (const Arrival& a : incoming_) {
    if (a.at > now_) break;
    ++n;
  }
  return n;
}

std::optional<uint64_t> FakeLine::nextArrival() const {
  if (incoming_.empty()) return std::nullopt;
  return incoming_.front().at;
}

std::optional<uint64_t> FakeLine::nextActivity() const {
  std::optional<uint64_t> a = nextArrival();
  std::optional<uint64_t> e = peer_ ? peer_->nextEvent() : std::nullopt;
  if (a && e) return std::min(*a, *e);
  return a ? a : e;
}

std::size_t FakeLine::take(uint8_t* out, std::size_t max) {
  std::size_t n = 0;
  while (n < max && !incoming_.empty() && incoming_.front().at <= now_) {
    out[n++] = incoming_.front().byte;
    incoming_.pop_front();
  }
  return n;
}

}  // namespace testsupport
