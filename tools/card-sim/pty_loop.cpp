#include "pty_loop.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

namespace cardsim {
namespace {

volatile sig_atomic_t stopRequested = 0;
void onStopSignal(int) { stopRequested = 1; }
// SIGUSR1: the card is switched off and on.
volatile sig_atomic_t powerCycleRequested = 0;
void onPowerCycleSignal(int) { powerCycleRequested = 1; }

Ns monotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<Ns>(ts.tv_sec) * 1000000000u + static_cast<Ns>(ts.tv_nsec);
}

constexpr Ns kNsPerMs = 1000000;

uint32_t rateOf(speed_t s) {
  switch (s) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    default: return 0;
  }
}

// Bytes the card has handed to its UART, to go out at `at`.
struct Pending {
  Ns at;
  uint32_t baud;  // the rate the card sends at
  std::vector<uint8_t> bytes;
};

class PtyWire : public Wire {
 public:
  PtyWire(ExchangeLog& log, const Card& card) : log_(log), card_(card), start_(monotonicNs()) {}

  Ns clock() const { return monotonicNs() - start_; }
  Ms now() const override { return clock() / kNsPerMs; }
  double exact() const { return static_cast<double>(clock()) / 1e6; }

  void send(const uint8_t* data, std::size_t n, Ms delay) override {
    if (n == 0) return;
    Ns at = std::max(eventAt + delay * kNsPerMs, lastAt_);
    lastAt_ = at;
    queue.push_back(Pending{at, card_.listenBaud(), std::vector<uint8_t>(data, data + n)});
  }
  void note(const std::string& text) override { log_.note(exact(), text); }
  void replug() override { replugRequested = true; }
  void stopReading(Ms forMs) override {
    readingResumesAt = forMs == 0 ? kNever : clock() + forMs * kNsPerMs;
  }
  bool reading() const { return clock() >= readingResumesAt; }

  static constexpr Ns kNever = ~Ns{0};
  // The time the card acts at: when the bytes it is handed arrived (on a
  // paced line that may lie a little before the loop woke up), else now.
  Ns eventAt = 0;
  std::deque<Pending> queue;
  bool replugRequested = false;
  Ns readingResumesAt = 0;  // the card drains the line again from then on

 private:
  ExchangeLog& log_;
  const Card& card_;
  Ns start_;
  Ns lastAt_ = 0;
};

// Logs bytes in lines of at most 32, each line with the rate it went at.
void logBytes(ExchangeLog& log, double ms, bool fromUpdater, const uint8_t* data, std::size_t n,
              uint32_t baud) {
  for (std::size_t off = 0; off < n; off += 32)
    log.bytes(ms, fromUpdater, data + off, std::min<std::size_t>(32, n - off), baud);
}

timespec timespecOf(Ns ns) {
  return timespec{static_cast<time_t>(ns / 1000000000u), static_cast<long>(ns % 1000000000u)};
}

class Master {
 public:
  ~Master() { close(); }

  bool open(const std::string& link) {
    fd_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (fd_ < 0 || grantpt(fd_) != 0 || unlockpt(fd_) != 0) {
      std::perror("card-sim: cannot open a pseudo-terminal");
      return false;
    }
    const char* name = ptsname(fd_);
    if (!name) return false;
    slave_ = name;
    // The card's end is raw: no echo, no line editing, no flow control.
    termios tio{};
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tcsetattr(fd_, TCSANOW, &tio);
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    if (!link.empty()) {
      std::string tmp = link + ".new";
      unlink(tmp.c_str());
      if (symlink(slave_.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), link.c_str()) != 0) {
        std::perror("card-sim: cannot make the --link");
        return false;
      }
    }
    return true;
  }

  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  int fd() const { return fd_; }
  const std::string& slave() const { return slave_; }

  // The bit rate the updater set on its end of the line.
  uint32_t lineBaud() const {
    termios tio{};
    if (tcgetattr(fd_, &tio) != 0) return 0;
    return rateOf(cfgetospeed(&tio));
  }

 private:
  int fd_ = -1;
  std::string slave_;
};

}  // namespace

int runPtyLoop(Card& card, ExchangeLog& log, const PtyOptions& options) {
  struct sigaction sa {};
  sa.sa_handler = onStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  // SIGUSR1 is held back except while the loop sleeps, so that a power
  // cycle is never missed between the check and the wait.  (A ppoll that
  // finds a descriptor ready returns without taking the signal: it waits
  // for the next sleep.)
  struct sigaction cycle {};
  cycle.sa_handler = onPowerCycleSignal;
  sigemptyset(&cycle.sa_mask);
  sigaction(SIGUSR1, &cycle, nullptr);
  sigset_t held, waiting;
  sigemptyset(&held);
  sigaddset(&held, SIGUSR1);
  sigprocmask(SIG_BLOCK, &held, &waiting);
  sigdelset(&waiting, SIGUSR1);

  Master master;
  if (!master.open(options.link)) return 1;
  std::printf("%s\n", master.slave().c_str());
  std::fflush(stdout);

  LinePacer pacer(options.pacing);
  const bool paced = pacer.active();
  // A byte takes 87 us at 115200 bit/s: the default timer slack (50 us)
  // would add a good part of one to every turn.
  if (paced) prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

  PtyWire wire(log, card);
  log.note(wire.exact(), "card on " + master.slave());
  wire.eventAt = wire.clock();
  card.powerOn(wire);

  std::deque<Crossed> outbox;  // for the updater, waiting for the master to take it
  std::vector<uint8_t> in(4096);
  while (!stopRequested) {
    Ns now = wire.clock();
    if (powerCycleRequested) {
      powerCycleRequested = 0;
      wire.eventAt = now;
      card.powerCycle(wire);
    }

    // Bytes that have crossed the line reach the card; it acts at the time
    // the last of them arrived.
    if (paced) {
      std::vector<Crossed> arrived = pacer.toCard(now);
      for (const Crossed& c : arrived) {
        logBytes(log, wire.exact(), true, c.bytes.data(), c.bytes.size(), c.baud);
        wire.eventAt = c.at;
        card.receive(c.bytes.data(), c.bytes.size(), c.baud, wire);
      }
      if (!arrived.empty()) continue;
    }

    std::optional<Ms> t = card.timer();
    if (t && *t * kNsPerMs <= now) {
      wire.eventAt = now;
      card.onTimer(wire);
      continue;
    }

    // The card's answers that are due go onto the line.
    while (!wire.queue.empty() && wire.queue.front().at <= now) {
      Pending& p = wire.queue.front();
      if (paced)
        pacer.fromCard(p.at, p.bytes.data(), p.bytes.size(), p.baud);
      else
        outbox.push_back(Crossed{std::move(p.bytes), p.baud, p.at});
      wire.queue.pop_front();
    }
    if (paced)
      for (Crossed& c : pacer.toUpdater(now)) outbox.push_back(std::move(c));

    while (!outbox.empty()) {
      Crossed& c = outbox.front();
      ssize_t w = ::write(master.fd(), c.bytes.data(), c.bytes.size());
      if (w > 0) {
        logBytes(log, wire.exact(), false, c.bytes.data(), static_cast<std::size_t>(w), c.baud);
        c.bytes.erase(c.bytes.begin(), c.bytes.begin() + w);
        if (c.bytes.empty()) outbox.pop_front();
        continue;
      }
      if (w < 0 && (errno == EAGAIN || errno == EINTR)) break;
      // Nobody on the line: the bytes go into the void, as on a real wire.
      log.note(wire.exact(), "line not connected: answer dropped");
      outbox.pop_front();
    }

    if (wire.replugRequested) {
      wire.replugRequested = false;
      master.close();
      if (!master.open(options.link)) return 1;
      std::printf("%s\n", master.slave().c_str());
      std::fflush(stdout);
      log.note(wire.exact(), "line replugged as " + master.slave());
      pacer = LinePacer(options.pacing);  // what was on the old line is lost
      outbox.clear();
      wire.queue.clear();  // bytes in flight are lost with the line
      continue;
    }

    // Sleep until the next byte, answer or timer is due, or the updater writes.
    std::optional<Ns> due;
    auto consider = [&](Ns at) {
      if (!due || at < *due) due = at;
    };
    if (!wire.queue.empty()) consider(wire.queue.front().at);
    if (t) consider(*t * kNsPerMs);
    if (paced)
      if (std::optional<Ns> d = pacer.nextDue()) consider(*d);
    const bool reading = wire.reading();
    if (!reading && wire.readingResumesAt != PtyWire::kNever) consider(wire.readingResumesAt);
    timespec wait{};
    const timespec* waitFor = nullptr;
    if (due) {
      wait = timespecOf(*due <= now ? 0 : std::min<Ns>(*due - now, 60000 * kNsPerMs));
      waitFor = &wait;
    }

    pollfd p{master.fd(),
             static_cast<short>((reading ? POLLIN : 0) | (outbox.empty() ? 0 : POLLOUT)), 0};
    int r = ::ppoll(&p, 1, waitFor, &waiting);
    if (r < 0) {
      if (errno == EINTR) continue;
      std::perror("card-sim: poll");
      return 1;
    }
    if (r == 0) continue;
    if (p.revents & POLLIN) {
      ssize_t n = ::read(master.fd(), in.data(), in.size());
      if (n > 0) {
        uint32_t baud = master.lineBaud();
        std::size_t got = static_cast<std::size_t>(n);
        if (paced) {
          pacer.fromUpdater(wire.clock(), in.data(), got, baud);
        } else {
          logBytes(log, wire.exact(), true, in.data(), got, baud);
          wire.eventAt = wire.clock();
          card.receive(in.data(), got, baud, wire);
        }
        continue;
      }
    }
    if (p.revents & (POLLHUP | POLLERR)) {
      // No updater has the line open: wait for the next open without
      // spinning (the master reports a hang-up until then).
      Ns idle = 20 * kNsPerMs;
      if (due) idle = std::min(idle, *due <= now ? 0 : *due - now);
      timespec pause = timespecOf(idle);
      ::ppoll(nullptr, 0, &pause, &waiting);  // a power cycle ends the pause
    }
  }
  log.note(wire.exact(), "card switched off");
  if (!options.link.empty()) unlink(options.link.c_str());
  return 0;
}

}  // namespace cardsim
