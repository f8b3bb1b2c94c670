#include "pty_loop.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace cardsim {
namespace {

volatile sig_atomic_t stopRequested = 0;
void onStopSignal(int) { stopRequested = 1; }

Ms monotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<Ms>(ts.tv_sec) * 1000u + static_cast<Ms>(ts.tv_nsec / 1000000);
}

double monotonicMsExact() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

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

struct Pending {
  Ms at;
  std::vector<uint8_t> bytes;
};

class PtyWire : public Wire {
 public:
  PtyWire(ExchangeLog& log) : log_(log), start_(monotonicMs()), startExact_(monotonicMsExact()) {}

  Ms now() const override { return monotonicMs() - start_; }
  double exact() const { return monotonicMsExact() - startExact_; }

  void send(const uint8_t* data, std::size_t n, Ms delay) override {
    if (n == 0) return;
    Ms at = std::max(now() + delay, lastAt_);
    lastAt_ = at;
    queue.push_back(Pending{at, std::vector<uint8_t>(data, data + n)});
  }
  void note(const std::string& text) override { log_.note(exact(), text); }
  void replug() override { replugRequested = true; }
  void stopReading(Ms forMs) override {
    readingResumesAt = forMs == 0 ? kNever : now() + forMs;
  }
  bool reading() const { return now() >= readingResumesAt; }

  static constexpr Ms kNever = ~Ms{0};
  std::deque<Pending> queue;
  bool replugRequested = false;
  Ms readingResumesAt = 0;  // the card drains the line again from then on

 private:
  ExchangeLog& log_;
  Ms start_;
  double startExact_;
  Ms lastAt_ = 0;
};

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

  Master master;
  if (!master.open(options.link)) return 1;
  std::printf("%s\n", master.slave().c_str());
  std::fflush(stdout);

  PtyWire wire(log);
  log.note(wire.exact(), "card on " + master.slave());
  card.powerOn(wire);

  std::vector<uint8_t> in(4096);
  while (!stopRequested) {
    Ms now = wire.now();

    // Answers that are due.
    while (!wire.queue.empty() && wire.queue.front().at <= now) {
      Pending& p = wire.queue.front();
      ssize_t w = ::write(master.fd(), p.bytes.data(), p.bytes.size());
      if (w > 0) {
        log.bytes(wire.exact(), false, p.bytes.data(), static_cast<std::size_t>(w), 0);
        p.bytes.erase(p.bytes.begin(), p.bytes.begin() + w);
        if (p.bytes.empty()) wire.queue.pop_front();
        continue;
      }
      if (w < 0 && (errno == EAGAIN || errno == EINTR)) break;
      // Nobody on the line: the bytes go into the void, as on a real wire.
      log.note(wire.exact(), "line not connected: answer dropped");
      wire.queue.pop_front();
    }

    std::optional<Ms> t = card.timer();
    if (t && *t <= now) {
      card.onTimer(wire);
      continue;
    }

    if (wire.replugRequested) {
      wire.replugRequested = false;
      master.close();
      wire.queue.clear();  // bytes in flight are lost with the line
      if (!master.open(options.link)) return 1;
      std::printf("%s\n", master.slave().c_str());
      std::fflush(stdout);
      log.note(wire.exact(), "line replugged as " + master.slave());
      continue;
    }

    int wait = -1;
    auto consider = [&](Ms at) {
      int ms = at <= now ? 0 : static_cast<int>(std::min<Ms>(at - now, 60000));
      if (wait < 0 || ms < wait) wait = ms;
    };
    bool blockedOutput = !wire.queue.empty() && wire.queue.front().at <= now;
    if (!wire.queue.empty() && !blockedOutput) consider(wire.queue.front().at);
    if (t) consider(*t);
    const bool reading = wire.reading();
    if (!reading && wire.readingResumesAt != PtyWire::kNever) consider(wire.readingResumesAt);

    pollfd p{master.fd(), static_cast<short>((reading ? POLLIN : 0) | (blockedOutput ? POLLOUT : 0)), 0};
    int r = ::poll(&p, 1, wait);
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
        log.bytes(wire.exact(), true, in.data(), static_cast<std::size_t>(n), baud);
        card.receive(in.data(), static_cast<std::size_t>(n), baud, wire);
        continue;
      }
    }
    if (p.revents & (POLLHUP | POLLERR)) {
      // No updater has the line open: wait for the next open without
      // spinning (the master reports a hang-up until then).
      int idle = wait < 0 ? 20 : std::min(wait, 20);
      ::poll(nullptr, 0, idle);
    }
  }
  log.note(wire.exact(), "card switched off");
  if (!options.link.empty()) unlink(options.link.c_str());
  return 0;
}

}  // namespace cardsim
