// The Win32 services of win32.h, implemented on POSIX.
//
// Serial ports are tty devices in raw mode.  Reads follow the COMMTIMEOUTS
// rules that Windows applies, waiting with poll() for exactly the time that
// remains, so a byte that arrives wakes the reader at once.  Writes are
// non-blocking with poll() and honour the write time-outs: a write that
// cannot finish in time returns TRUE with the count written so far.  On
// Linux an opened port asks its driver for low latency.
#ifndef _WIN32

#include "platform/posix_device.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

namespace platform {
namespace {

thread_local DWORD lastError = 0;
Hooks* hooks = nullptr;

void fail(DWORD code) { lastError = code; }
void failErrno(int err) { lastError = win32ErrorFromErrno(err); }

uint64_t monotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec / 1000000);
}

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

// A plain file opened through CreateFileA (the appMain.mot size test).
class FileDevice : public Device {
 public:
  explicit FileDevice(int fd) : fd_(fd) {}
  ~FileDevice() override { ::close(fd_); }
  BOOL read(void* buf, DWORD count, DWORD* got) override {
    ssize_t n = ::read(fd_, buf, count);
    if (n < 0) {
      failErrno(errno);
      if (got) *got = 0;
      return FALSE;
    }
    if (got) *got = static_cast<DWORD>(n);
    return TRUE;
  }
  BOOL write(const void* buf, DWORD count, DWORD* put) override {
    ssize_t n = ::write(fd_, buf, count);
    if (n < 0) {
      failErrno(errno);
      if (put) *put = 0;
      return FALSE;
    }
    if (put) *put = static_cast<DWORD>(n);
    return TRUE;
  }
  BOOL getState(DCB*) override { return notAPort(); }
  BOOL setState(const DCB*) override { return notAPort(); }
  BOOL setTimeouts(const COMMTIMEOUTS*) override { return notAPort(); }
  DWORD size(DWORD* high) override {
    struct stat st {};
    if (fstat(fd_, &st) != 0) {
      failErrno(errno);
      return INVALID_FILE_SIZE;
    }
    uint64_t s = static_cast<uint64_t>(st.st_size);
    if (high) *high = static_cast<DWORD>(s >> 32);
    return static_cast<DWORD>(s & 0xFFFFFFFFu);
  }

 private:
  static BOOL notAPort() {
    fail(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  int fd_;
};

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

Device* deviceOf(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) {
    fail(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return static_cast<Device*>(h);
}

// Terminal state saved while _getch has the keyboard in raw mode, so that a
// Ctrl-C restores it before the process ends.
termios savedTerminal;
volatile sig_atomic_t terminalRaw = 0;
struct sigaction interruptBeforeKeyWait;

void interruptedInKeyWait(int signal) {
  if (terminalRaw) tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
  // The run's own ending (its last lines) when it has one.
  const struct sigaction& before = interruptBeforeKeyWait;
  if (signal == SIGINT && !(before.sa_flags & SA_SIGINFO) && before.sa_handler != SIG_DFL &&
      before.sa_handler != SIG_IGN)
    before.sa_handler(signal);
  _exit(130);
}

int realGetch() {
  std::fflush(stdout);
  unsigned char c = 0;
  if (!isatty(STDIN_FILENO)) {
    for (;;) {
      ssize_t r = ::read(STDIN_FILENO, &c, 1);
      if (r == 1) return c;
      if (r < 0 && errno == EINTR) continue;
      return -1;  // end of input
    }
  }
  termios raw{};
  if (tcgetattr(STDIN_FILENO, &savedTerminal) != 0) return -1;
  raw = savedTerminal;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  struct sigaction sa {}, oldTerm{};
  struct sigaction& oldInt = interruptBeforeKeyWait;
  sa.sa_handler = interruptedInKeyWait;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, &oldInt);
  sigaction(SIGTERM, &sa, &oldTerm);
  terminalRaw = 1;
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  int result = -1;
  for (;;) {
    ssize_t r = ::read(STDIN_FILENO, &c, 1);
    if (r == 1) {
      result = c;
      break;
    }
    if (r < 0 && errno == EINTR) continue;
    break;
  }
  tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
  terminalRaw = 0;
  sigaction(SIGINT, &oldInt, nullptr);
  sigaction(SIGTERM, &oldTerm, nullptr);
  return result;
}

}  // namespace

void installHooks(Hooks* h) { hooks = h; }

int Hooks::serialIoctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }

DWORD win32ErrorFromErrno(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT:
    case ENODEV:
    case ENXIO: return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK: return ERROR_ACCESS_DENIED;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOTTY: return ERROR_INVALID_FUNCTION;
    case EIO: return ERROR_IO_DEVICE;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    default: return ERROR_GEN_FAILURE;
  }
}

std::string devicePathForPort(const std::string& name) {
  if (!name.empty() && name[0] == '/') return name;  // a device path as typed
  std::string env = "UPDATER_PORT_" + name;
  if (const char* v = std::getenv(env.c_str())) return v;
  auto numberAfter = [&](const char* prefix, long* n) {
    size_t len = std::strlen(prefix);
    if (name.size() <= len || name.compare(0, len, prefix) != 0) return false;
    long v = 0;
    for (size_t i = len; i < name.size(); ++i) {
      if (name[i] < '0' || name[i] > '9' || v > 100000) return false;
      v = v * 10 + (name[i] - '0');
    }
    *n = v;
    return true;
  };
  long n = 0;
  if (numberAfter("COMUSB", &n)) return "/dev/ttyUSB" + std::to_string(n);
  if (numberAfter("COMACM", &n)) return "/dev/ttyACM" + std::to_string(n);
  if (numberAfter("COM", &n) && n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
  return std::string();
}

}  // namespace platform

using platform::Device;

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, void*, DWORD disposition, DWORD,
                   HANDLE) {
  if (name == nullptr || disposition != OPEN_EXISTING) {
    platform::fail(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  static const char kDevicePrefix[] = "\\\\.\\";
  bool isPort = std::strncmp(name, kDevicePrefix, 4) == 0;
  std::string path = name;
  if (isPort) {
    std::string port = name + 4;
    if (platform::hooks) {
      DWORD error = 0;
      std::unique_ptr<Device> fake = platform::hooks->open(port, &error);
      if (fake) return fake.release();
      if (error != 0) {
        platform::fail(error);
        return INVALID_HANDLE_VALUE;
      }
    }
    path = platform::devicePathForPort(port);
    if (path.empty()) {
      platform::fail(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
  }
  int flags = O_NOCTTY | O_CLOEXEC;
  if ((access & GENERIC_READ) && (access & GENERIC_WRITE))
    flags |= O_RDWR;
  else if (access & GENERIC_WRITE)
    flags |= O_WRONLY;
  else
    flags |= O_RDONLY;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    platform::failErrno(errno);
    return INVALID_HANDLE_VALUE;
  }
  if (S_ISDIR(st.st_mode)) {
    platform::fail(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  bool isTty = S_ISCHR(st.st_mode);
  if (isTty) flags |= O_NONBLOCK;
  int fd = ::open(path.c_str(), flags);
  if (fd < 0) {
    platform::failErrno(errno);
    return INVALID_HANDLE_VALUE;
  }
  if (!isTty || !isatty(fd)) {
    if (isTty) {  // a character device that is no terminal
      ::close(fd);
      platform::fail(ERROR_INVALID_FUNCTION);
      return INVALID_HANDLE_VALUE;
    }
    return new platform::FileDevice(fd);
  }
  if (share == 0) {
    // Exclusive use: root ignores TIOCEXCL, so take a lock as well.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int err = errno;
      ::close(fd);
      platform::failErrno(err == EWOULDBLOCK ? EBUSY : err);
      return INVALID_HANDLE_VALUE;
    }
    ioctl(fd, TIOCEXCL);
  }
  auto* port = new platform::TtyDevice(fd);
  port->requestLowLatency();
  return port;
}

BOOL CloseHandle(HANDLE h) {
  Device* d = platform::deviceOf(h);
  if (!d) return FALSE;
  delete d;
  return TRUE;
}

BOOL ReadFile(HANDLE h, LPVOID buf, DWORD count, LPDWORD got, void*) {
  Device* d = platform::deviceOf(h);
  if (!d) {
    if (got) *got = 0;
    return FALSE;
  }
  return d->read(buf, count, got);
}

BOOL WriteFile(HANDLE h, LPCVOID buf, DWORD count, LPDWORD put, void*) {
  Device* d = platform::deviceOf(h);
  if (!d) {
    if (put) *put = 0;
    return FALSE;
  }
  return d->write(buf, count, put);
}

BOOL GetCommState(HANDLE h, LPDCB dcb) {
  Device* d = platform::deviceOf(h);
  return d ? d->getState(dcb) : FALSE;
}

BOOL SetCommState(HANDLE h, LPDCB dcb) {
  Device* d = platform::deviceOf(h);
  return d ? d->setState(dcb) : FALSE;
}

BOOL SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
  Device* d = platform::deviceOf(h);
  return d ? d->setTimeouts(t) : FALSE;
}

DWORD GetLastError() { return platform::lastError; }
void SetLastError(DWORD code) { platform::lastError = code; }

DWORD GetFileAttributesA(LPCSTR name) {
  struct stat st {};
  if (name == nullptr || stat(name, &st) != 0) {
    platform::failErrno(name ? errno : EINVAL);
    return INVALID_FILE_ATTRIBUTES;
  }
  return S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}

DWORD GetFileSize(HANDLE h, LPDWORD high) {
  Device* d = platform::deviceOf(h);
  return d ? d->size(high) : INVALID_FILE_SIZE;
}

DWORD GetTickCount() {
  if (platform::hooks) return platform::hooks->ticks();
  return static_cast<DWORD>(platform::monotonicMs() & 0xFFFFFFFFu);
}

HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

// The high priority class, the only one the updater asks for, is nice -10.
// Raising the priority needs privileges on POSIX: without them the call
// fails with ERROR_ACCESS_DENIED and the process keeps its priority.  A run
// on the test hooks (virtual clock) has no timing to protect and leaves the
// test process as it is.
BOOL SetPriorityClass(HANDLE process, DWORD priorityClass) {
  if (process != GetCurrentProcess()) {
    platform::fail(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (priorityClass != HIGH_PRIORITY_CLASS) {
    platform::fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (platform::hooks) return TRUE;
  if (setpriority(PRIO_PROCESS, 0, -10) != 0) {
    platform::failErrno(errno);
    return FALSE;
  }
  return TRUE;
}

FineTimer::FineTimer() {
  // A run on the test hooks keeps its virtual clock and the test process
  // its slack.
  if (platform::hooks) {
    granted_ = true;
    return;
  }
#ifdef __linux__
  const int before = prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);
  if (before < 0) return;
  restore_ = static_cast<unsigned long>(before);
  granted_ = prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL) == 0;  // nanoseconds
#endif
}

FineTimer::~FineTimer() {
#ifdef __linux__
  if (granted_ && !platform::hooks) prctl(PR_SET_TIMERSLACK, restore_, 0UL, 0UL, 0UL);
#endif
}

void Sleep(DWORD ms) {
  if (platform::hooks) {
    platform::hooks->sleep(static_cast<uint32_t>(ms));
    return;
  }
  std::fflush(stdout);
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000L)};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

int _getch() {
  if (platform::hooks) return platform::hooks->getch();
  return platform::realGetch();
}

void runPause() {
  std::printf("Press any key to continue . . . ");
  std::fflush(stdout);
  _getch();
  std::printf("\n");
}

#endif  // !_WIN32
