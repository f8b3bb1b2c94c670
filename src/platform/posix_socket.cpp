// TCP connections on POSIX sockets.  The socket is non-blocking; every wait
// is one poll() for the time that remains.  Sends use MSG_NOSIGNAL, so a
// peer that has gone away is an error to report, not a SIGPIPE that kills
// the run.
#ifndef _WIN32

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/posix_internal.h"
#include "platform/tcp_connection.h"

namespace platform {
namespace {

uint64_t nowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec / 1000000);
}

uint32_t codeOf(int err) {
  switch (err) {
    case ECONNREFUSED: return kErrorConnectionRefused;
    case ETIMEDOUT: return kErrorTimedOut;
    case ECONNRESET:
    case EPIPE: return kErrorConnectionReset;
    case ENETUNREACH: return 10051;  // WSAENETUNREACH
    case EHOSTUNREACH: return 10065;  // WSAEHOSTUNREACH
    default: return 31;               // ERROR_GEN_FAILURE
  }
}

std::string lowerText(const char* text) {
  std::string out = text;
  if (!out.empty() && out[0] >= 'A' && out[0] <= 'Z') out[0] = static_cast<char>(out[0] - 'A' + 'a');
  return out;
}

// poll() for `events` until `deadline` (monotonic ms), resumed after a
// signal that did not end the run.  >0 ready, 0 timed out, <0 failed.
int waitFor(int fd, short events, uint64_t deadline, short* revents) {
  for (;;) {
    const uint64_t now = nowMs();
    const int wait = now >= deadline ? 0 : static_cast<int>(deadline - now);
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, wait);
    if (r < 0 && errno == EINTR) continue;
    *revents = p.revents;
    return r;
  }
}

class PosixTcpConnection : public TcpConnection {
 public:
  explicit PosixTcpConnection(int fd) : fd_(fd) {}
  ~PosixTcpConnection() override { ::close(fd_); }

  Io receive(void* buffer, std::size_t capacity, std::size_t* got, uint32_t timeoutMs) override {
    *got = 0;
    const uint64_t deadline = nowMs() + timeoutMs;
    for (;;) {
      const ssize_t n = ::recv(fd_, buffer, capacity, 0);
      if (n > 0) {
        *got = static_cast<std::size_t>(n);
        return Io::kOk;
      }
      if (n == 0) return closed();
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return failed(errno);
      if (timeoutMs == 0) return Io::kTimeout;  // nothing waiting: no poll() to ask again
      short revents = 0;
      const int r = waitFor(fd_, POLLIN, deadline, &revents);
      if (r < 0) return failed(errno);
      if (r == 0) return Io::kTimeout;
    }
  }

  Io send(const void* data, std::size_t count, std::size_t* sent, uint32_t timeoutMs) override {
    *sent = 0;
    const uint64_t deadline = nowMs() + timeoutMs;
    const char* bytes = static_cast<const char*>(data);
    while (*sent < count) {
      const ssize_t n = ::send(fd_, bytes + *sent, count - *sent, MSG_NOSIGNAL);
      if (n > 0) {
        *sent += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return failed(errno);
      short revents = 0;
      const int r = waitFor(fd_, POLLOUT, deadline, &revents);
      if (r < 0) return failed(errno);
      if (r == 0) return *sent > 0 ? Io::kOk : Io::kTimeout;
    }
    return Io::kOk;
  }

 private:
  Io closed() {
    errorCode_ = kErrorConnectionReset;
    errorText_ = "connection closed by the server";
    return Io::kClosed;
  }
  Io failed(int err) {
    errorCode_ = codeOf(err);
    errorText_ = lowerText(std::strerror(err));
    return Io::kFailed;
  }
  int fd_;
};

// One address: a non-blocking connect, waited for until `deadline`.
// Returns the socket, or -1 with `*err` set (ETIMEDOUT at the deadline).
int connectOne(const addrinfo* address, uint64_t deadline, int* err) {
  const int fd = ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                          address->ai_protocol);
  if (fd < 0) {
    *err = errno;
    return -1;
  }
  if (::connect(fd, address->ai_addr, address->ai_addrlen) != 0) {
    if (errno != EINPROGRESS) {
      *err = errno;
      ::close(fd);
      return -1;
    }
    short revents = 0;
    const int r = waitFor(fd, POLLOUT, deadline, &revents);
    int soError = 0;
    socklen_t length = sizeof soError;
    if (r <= 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length) != 0 || soError != 0) {
      *err = r == 0 ? ETIMEDOUT : (r < 0 ? errno : (soError != 0 ? soError : errno));
      ::close(fd);
      return -1;
    }
  }
  // Each request of the protocol is one small write that waits for its
  // answer: Nagle's delay would hold every one of them back.
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

// getaddrinfo() within `timeoutMs`.  The resolver's own time-outs
// (resolv.conf: seconds per server and attempt) can add up to far more, so
// a name is looked up on a thread of its own; one that has not answered in
// time is left to finish there, and the run goes on without it.
int resolve(const std::string& host, const std::string& port, uint32_t timeoutMs,
            addrinfo** addresses, bool* timedOut) {
  struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;
    int result = EAI_AGAIN;
    addrinfo* addresses = nullptr;
  };
  auto lookup = std::make_shared<Lookup>();
  try {
    std::thread([lookup, host, port] {
      addrinfo hints{};
      hints.ai_family = AF_UNSPEC;
      hints.ai_socktype = SOCK_STREAM;
      hints.ai_flags = AI_ADDRCONFIG;
      addrinfo* found = nullptr;
      const int result = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
      std::lock_guard<std::mutex> hold(lookup->mutex);
      if (lookup->abandoned) {
        if (result == 0) ::freeaddrinfo(found);
        return;
      }
      lookup->result = result;
      lookup->addresses = found;
      lookup->finished = true;
      lookup->done.notify_one();
    }).detach();
  } catch (const std::system_error&) {
    return EAI_SYSTEM;
  }
  std::unique_lock<std::mutex> hold(lookup->mutex);
  if (!lookup->done.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                             [&] { return lookup->finished; })) {
    lookup->abandoned = true;
    *timedOut = true;
    return EAI_AGAIN;
  }
  *addresses = lookup->addresses;
  return lookup->result;
}

}  // namespace

std::unique_ptr<TcpConnection> connectTcp(const std::string& host, const std::string& port,
                                          uint32_t timeoutMs, uint32_t* code,
                                          std::string* reason) {
  if (hooks != nullptr) {
    std::unique_ptr<TcpConnection> connection;
    if (hooks->connectTcp(host, port, timeoutMs, &connection, code, reason)) return connection;
  }
  const uint64_t deadline = nowMs() + timeoutMs;
  addrinfo* addresses = nullptr;
  bool lookupTimedOut = false;
  const int resolved = resolve(host, port, timeoutMs, &addresses, &lookupTimedOut);
  if (lookupTimedOut) {
    *code = kErrorTimedOut;
    *reason = "the name was not resolved within " + std::to_string(timeoutMs / 1000) + " s";
    return nullptr;
  }
  if (resolved != 0) {
    *code = kErrorHostNotFound;
    *reason = resolved == EAI_SYSTEM ? "the name could not be looked up"
                                     : lowerText(::gai_strerror(resolved));
    return nullptr;
  }
  int err = ETIMEDOUT;
  int fd = -1;
  for (const addrinfo* a = addresses; a != nullptr && fd < 0; a = a->ai_next) {
    if (nowMs() >= deadline) {
      err = ETIMEDOUT;
      break;
    }
    fd = connectOne(a, deadline, &err);
  }
  ::freeaddrinfo(addresses);
  if (fd < 0) {
    *code = codeOf(err);
    *reason = err == ETIMEDOUT ? "no answer within " + std::to_string(timeoutMs / 1000) + " s"
                               : lowerText(std::strerror(err));
    return nullptr;
  }
  return std::make_unique<PosixTcpConnection>(fd);
}

}  // namespace platform

#endif  // !_WIN32
