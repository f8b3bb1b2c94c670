// A serial port on POSIX: a tty device in raw mode behind a HANDLE.
//
// Reads follow the COMMTIMEOUTS rules that Windows applies, waiting with
// poll() for exactly the time that remains, so a byte that arrives wakes the
// reader at once.  Writes are non-blocking with poll() and honour the write
// time-outs: a write that cannot finish in time returns TRUE with the count
// written so far.  On Linux an opened port asks its driver for low latency.
#ifndef _WIN32

#include "platform/posix_internal.h"

#include <cerrno>
#include <cstring>

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

namespace platform {
namespace {

struct BaudEntry {
  DWORD rate;
  speed_t speed;
};
const BaudEntry kBauds[] = {
    {110, B110},       {300, B300},       {600, B600},       {1200, B1200},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},
    {38400, B38400},   {57600, B57600},   {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B921600
    {921600, B921600},
#endif
};

bool speedFor(DWORD rate, speed_t* out) {
  for (const auto& e : kBauds)
    if (e.rate == rate) {
      *out = e.speed;
      return true;
    }
  return false;
}

DWORD rateFor(speed_t s) {
  for (const auto& e : kBauds)
    if (e.speed == s) return e.rate;
  return 0;
}

int serialIoctl(int fd, unsigned long request, void* arg) {
  return hooks ? hooks->serialIoctl(fd, request, arg) : ::ioctl(fd, request, arg);
}

// A serial line: a tty in raw mode.
class TtyDevice : public Device {
 public:
  explicit TtyDevice(int fd) : fd_(fd) {
    timeouts_ = COMMTIMEOUTS{0, 0, 0, 0, 0};
    std::memset(&dcb_, 0, sizeof dcb_);
    dcb_.DCBlength = sizeof(DCB);
    dcb_.fBinary = 1;
    dcb_.fDtrControl = DTR_CONTROL_ENABLE;
    dcb_.fRtsControl = RTS_CONTROL_ENABLE;
    dcb_.XonChar = 0x11;
    dcb_.XoffChar = 0x13;
  }
  ~TtyDevice() override {
    restoreLatency();
    ioctl(fd_, TIOCNXCL);  // leave the device openable for the next program
    ::close(fd_);
  }

  // A serial driver hands received bytes on in batches: a USB adapter
  // holds them until its latency timer (commonly 16 ms) runs out or a
  // packet fills, and every request/answer turn of the protocol waits for
  // that.  In low-latency mode the drivers of common adapters use 1 ms.
  // The driver gets its own setting back on close.  A driver without the
  // setting (a pseudo-terminal, some adapters) refuses, and the port works
  // as before; no error is left behind.
  void requestLowLatency() {
#ifdef __linux__
    serial_struct s{};
    if (serialIoctl(fd_, TIOCGSERIAL, &s) != 0 || (s.flags & ASYNC_LOW_LATENCY) != 0) return;
    s.flags |= ASYNC_LOW_LATENCY;
    latencyRaised_ = serialIoctl(fd_, TIOCSSERIAL, &s) == 0;
#endif
  }

  BOOL read(void* buf, DWORD count, DWORD* got) override {
    DWORD n = 0;
    if (got) *got = 0;
    if (count == 0) return TRUE;
    auto* out = static_cast<unsigned char*>(buf);
    const COMMTIMEOUTS& t = timeouts_;

    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0) {
      // Return at once with whatever is waiting.
      BOOL ok = readAvailable(out, count, &n);
      if (got) *got = n;
      return ok;
    }
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
        t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD) {
      // Return at once with what is waiting, else wait up to the constant
      // for the first byte and return with what has come.
      int ready = waitReadable(static_cast<int>(t.ReadTotalTimeoutConstant));
      if (ready < 0) return FALSE;
      if (ready == 0) return TRUE;
      BOOL ok = readAvailable(out, count, &n);
      if (got) *got = n;
      return ok;
    }

    // General rule: a total time-out of multiplier x count + constant (none
    // when both are 0), and an interval time-out between bytes (none at 0).
    uint64_t total = static_cast<uint64_t>(t.ReadTotalTimeoutMultiplier) * count +
                     t.ReadTotalTimeoutConstant;
    bool hasTotal = total != 0;
    bool hasInterval = t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXDWORD;
    uint64_t start = monotonicMs();
    uint64_t lastByte = 0;
    while (n < count) {
      int wait = -1;
      uint64_t now = monotonicMs();
      if (hasTotal) {
        uint64_t end = start + total;
        if (now >= end) break;
        wait = static_cast<int>(end - now);
      }
      if (hasInterval && n > 0) {
        uint64_t end = lastByte + t.ReadIntervalTimeout;
        if (now >= end) break;
        int iw = static_cast<int>(end - now);
        if (wait < 0 || iw < wait) wait = iw;
      }
      int ready = waitReadable(wait);
      if (ready < 0) {
        if (got) *got = n;
        return FALSE;
      }
      if (ready == 0) continue;
      DWORD chunk = 0;
      if (!readAvailable(out + n, count - n, &chunk)) {
        if (got) *got = n;
        return FALSE;
      }
      if (chunk > 0) lastByte = monotonicMs();
      n += chunk;
    }
    if (got) *got = n;
    return TRUE;
  }

  BOOL write(const void* buf, DWORD count, DWORD* put) override {
    const auto* in = static_cast<const unsigned char*>(buf);
    DWORD n = 0;
    uint64_t limit = static_cast<uint64_t>(timeouts_.WriteTotalTimeoutMultiplier) * count +
                     timeouts_.WriteTotalTimeoutConstant;
    uint64_t start = monotonicMs();
    while (n < count) {
      ssize_t w = ::write(fd_, in + n, count - n);
      if (w > 0) {
        n += static_cast<DWORD>(w);
        continue;
      }
      if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        failErrno(errno);
        if (put) *put = n;
        return FALSE;
      }
      int wait = -1;
      if (limit != 0) {
        uint64_t now = monotonicMs();
        if (now >= start + limit) break;  // time-out: success, short count
        wait = static_cast<int>(start + limit - now);
      }
      pollfd p{fd_, POLLOUT, 0};
      int r = ::poll(&p, 1, wait);
      if (r < 0 && errno != EINTR) {
        failErrno(errno);
        if (put) *put = n;
        return FALSE;
      }
      if (r > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(p.revents & POLLOUT)) {
        fail(ERROR_IO_DEVICE);
        if (put) *put = n;
        return FALSE;
      }
    }
    if (put) *put = n;
    return TRUE;
  }

  BOOL getState(DCB* dcb) override {
    termios tio{};
    if (tcgetattr(fd_, &tio) != 0) {
      failErrno(errno);
      return FALSE;
    }
    DCB d = dcb_;
    d.DCBlength = dcb->DCBlength;
    DWORD rate = rateFor(cfgetospeed(&tio));
    if (rate != 0) d.BaudRate = rate;
    switch (tio.c_cflag & CSIZE) {
      case CS5: d.ByteSize = 5; break;
      case CS6: d.ByteSize = 6; break;
      case CS7: d.ByteSize = 7; break;
      default: d.ByteSize = 8; break;
    }
    d.Parity = (tio.c_cflag & PARENB) ? ((tio.c_cflag & PARODD) ? 1 : 2) : NOPARITY;
    d.StopBits = (tio.c_cflag & CSTOPB) ? 2 : ONESTOPBIT;
    d.fOutX = (tio.c_iflag & IXON) ? 1 : 0;
    d.fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
    d.fOutxCtsFlow = (tio.c_cflag & CRTSCTS) ? 1 : 0;
    *dcb = d;
    return TRUE;
  }

  BOOL setState(const DCB* dcb) override {
    speed_t speed;
    if (!speedFor(dcb->BaudRate, &speed) || dcb->ByteSize < 5 || dcb->ByteSize > 8 ||
        dcb->Parity > 2 || (dcb->StopBits != 0 && dcb->StopBits != 2)) {
      fail(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    termios tio{};
    if (tcgetattr(fd_, &tio) != 0) {
      failErrno(errno);
      return FALSE;
    }
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                           ICRNL | IXON | IXOFF | IXANY | INPCK);
    if (dcb->fOutX) tio.c_iflag |= IXON;
    if (dcb->fInX) tio.c_iflag |= IXOFF;
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= sizes[dcb->ByteSize - 5] | CLOCAL | CREAD;
    if (dcb->Parity == 1) tio.c_cflag |= PARENB | PARODD;
    if (dcb->Parity == 2) tio.c_cflag |= PARENB;
    if (dcb->StopBits == 2) tio.c_cflag |= CSTOPB;
    if (dcb->fOutxCtsFlow) tio.c_cflag |= CRTSCTS;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    if (tcsetattr(fd_, TCSANOW, &tio) != 0) {
      failErrno(errno);
      return FALSE;
    }
    // Modem lines: a pseudo-terminal has none, so failures are ignored.
    int rts = TIOCM_RTS, dtr = TIOCM_DTR;
    ioctl(fd_, dcb->fRtsControl == RTS_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &rts);
    ioctl(fd_, dcb->fDtrControl == DTR_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &dtr);
    dcb_ = *dcb;
    return TRUE;
  }

  BOOL setTimeouts(const COMMTIMEOUTS* t) override {
    timeouts_ = *t;
    return TRUE;
  }

  DWORD size(DWORD* high) override {
    if (high) *high = 0;
    return 0;
  }

 private:
  // 1: readable, 0: time-out, -1: failure (error set).  A hang-up with no
  // data waiting is a failure: the device has gone.
  int waitReadable(int timeoutMs) {
    uint64_t end = timeoutMs < 0 ? 0 : monotonicMs() + static_cast<uint64_t>(timeoutMs);
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      int wait = timeoutMs;
      if (timeoutMs >= 0) {
        uint64_t now = monotonicMs();
        wait = now >= end ? 0 : static_cast<int>(end - now);
      }
      int r = ::poll(&p, 1, wait);
      if (r < 0) {
        if (errno == EINTR) continue;
        failErrno(errno);
        return -1;
      }
      if (r == 0) return 0;
      if (p.revents & POLLIN) return 1;
      fail(ERROR_IO_DEVICE);
      return -1;
    }
  }

  BOOL readAvailable(unsigned char* out, DWORD count, DWORD* got) {
    *got = 0;
    for (;;) {
      ssize_t r = ::read(fd_, out, count);
      if (r > 0) {
        *got = static_cast<DWORD>(r);
        return TRUE;
      }
      if (r == 0) {  // hang-up: the other end of the line is gone
        fail(ERROR_IO_DEVICE);
        return FALSE;
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return TRUE;
      failErrno(errno);
      return FALSE;
    }
  }

  void restoreLatency() {
#ifdef __linux__
    if (!latencyRaised_) return;
    serial_struct s{};
    if (serialIoctl(fd_, TIOCGSERIAL, &s) != 0) return;
    s.flags &= ~ASYNC_LOW_LATENCY;
    serialIoctl(fd_, TIOCSSERIAL, &s);
#endif
  }

  int fd_;
  DCB dcb_;
  COMMTIMEOUTS timeouts_;
  bool latencyRaised_ = false;  // this port turned low latency on
};

}  // namespace

Device* newTtyDevice(int fd) {
  auto* port = new TtyDevice(fd);
  port->requestLowLatency();
  return port;
}

}  // namespace platform

#endif  // !_WIN32
