// TCP connections on Winsock.  The socket is non-blocking; every wait is
// one select() for the time that remains.  Winsock starts on the first
// connection and stops at the end of the program.
#ifdef _WIN32

// win32.h brings windows.h without its old winsock.h, so Winsock 2 can
// follow it.
#include "platform/win32.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <process.h>

#include <new>

#include "platform/tcp_connection.h"

namespace platform {
namespace {

class Winsock {
 public:
  Winsock() {
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~Winsock() {
    if (started_) WSACleanup();
  }
  bool started() const { return started_; }

 private:
  bool started_ = false;
};

bool startWinsock() {
  static const Winsock winsock;
  return winsock.started();
}

uint64_t nowMs() { return GetTickCount64(); }

std::string textOf(int code) {
  switch (code) {
    case WSAECONNREFUSED: return "connection refused";
    case WSAETIMEDOUT: return "no answer";
    case WSAECONNRESET: return "connection reset by peer";
    case WSAECONNABORTED: return "connection aborted";
    case WSAENETUNREACH: return "network is unreachable";
    case WSAEHOSTUNREACH: return "no route to host";
    case WSAHOST_NOT_FOUND: return "host not found";
    case WSATRY_AGAIN: return "the name server did not answer";
    case WSANO_DATA: return "the name has no address";
    default: return "Winsock error " + std::to_string(code);
  }
}

// select() for reading or writing until `deadline`: >0 ready, 0 timed
// out, <0 failed.
int waitFor(SOCKET s, bool forWrite, uint64_t deadline) {
  const uint64_t now = nowMs();
  const uint64_t left = now >= deadline ? 0 : deadline - now;
  timeval tv;
  tv.tv_sec = static_cast<long>(left / 1000);
  tv.tv_usec = static_cast<long>((left % 1000) * 1000);
  fd_set ready, failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(s, &ready);
  FD_SET(s, &failed);
  const int r = select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr, &failed, &tv);
  if (r > 0 && FD_ISSET(s, &failed) && !FD_ISSET(s, &ready)) return -1;
  return r;
}

class WinsockConnection : public TcpConnection {
 public:
  explicit WinsockConnection(SOCKET s) : socket_(s) {}
  ~WinsockConnection() override { closesocket(socket_); }

  Io receive(void* buffer, std::size_t capacity, std::size_t* got, uint32_t timeoutMs) override {
    *got = 0;
    const uint64_t deadline = nowMs() + timeoutMs;
    const int length = static_cast<int>(capacity > 65536 ? 65536 : capacity);
    for (;;) {
      const int n = recv(socket_, static_cast<char*>(buffer), length, 0);
      if (n > 0) {
        *got = static_cast<std::size_t>(n);
        return Io::kOk;
      }
      if (n == 0) {
        errorCode_ = kErrorConnectionReset;
        errorText_ = "connection closed by the server";
        return Io::kClosed;
      }
      const int code = WSAGetLastError();
      if (code != WSAEWOULDBLOCK) return failed(code);
      if (timeoutMs == 0) return Io::kTimeout;  // nothing waiting: no select() to ask again
      const int r = waitFor(socket_, false, deadline);
      if (r < 0) return failed(WSAGetLastError());
      if (r == 0) return Io::kTimeout;
    }
  }

  Io send(const void* data, std::size_t count, std::size_t* sent, uint32_t timeoutMs) override {
    *sent = 0;
    const uint64_t deadline = nowMs() + timeoutMs;
    const char* bytes = static_cast<const char*>(data);
    while (*sent < count) {
      const std::size_t left = count - *sent;
      const int n = ::send(socket_, bytes + *sent, static_cast<int>(left > 65536 ? 65536 : left), 0);
      if (n > 0) {
        *sent += static_cast<std::size_t>(n);
        continue;
      }
      const int code = WSAGetLastError();
      if (code != WSAEWOULDBLOCK) return failed(code);
      const int r = waitFor(socket_, true, deadline);
      if (r < 0) return failed(WSAGetLastError());
      if (r == 0) return *sent > 0 ? Io::kOk : Io::kTimeout;
    }
    return Io::kOk;
  }

 private:
  Io failed(int code) {
    errorCode_ = static_cast<uint32_t>(code);
    errorText_ = textOf(code);
    return Io::kFailed;
  }
  SOCKET socket_;
};

SOCKET connectOne(const addrinfo* address, uint64_t deadline, int* code) {
  SOCKET s = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
  if (s == INVALID_SOCKET) {
    *code = WSAGetLastError();
    return INVALID_SOCKET;
  }
  u_long nonBlocking = 1;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  if (connect(s, address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0) {
    const int started = WSAGetLastError();
    if (started != WSAEWOULDBLOCK) {
      *code = started;
      closesocket(s);
      return INVALID_SOCKET;
    }
    const int r = waitFor(s, true, deadline);
    int soError = 0;
    int length = sizeof soError;
    getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &length);
    if (r <= 0 || soError != 0) {
      *code = r == 0 ? WSAETIMEDOUT : (soError != 0 ? soError : WSAGetLastError());
      closesocket(s);
      return INVALID_SOCKET;
    }
  }
  // Each request of the protocol is one small write that waits for its
  // answer: Nagle's delay would hold every one of them back.
  BOOL on = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  return s;
}

// One name lookup on a thread of its own.  getaddrinfo() has no time-out,
// and a name server that does not answer can hold it for far longer than a
// connect may take; a lookup that has not answered in time is left to end
// on its thread.  The caller and the thread each hold a reference to the
// record, and the last to let go frees it, with any addresses found too
// late; the event orders the thread's result before the caller reads it.
class Lookup {
 public:
  // Starts the lookup; nullptr when no thread could be made.
  static Lookup* start(const std::string& host, const std::string& port) {
    Lookup* lookup = new (std::nothrow) Lookup(host, port);
    if (lookup == nullptr) return nullptr;
    if (lookup->done_ == nullptr) {
      delete lookup;
      return nullptr;
    }
    const uintptr_t thread = _beginthreadex(nullptr, 0, &Lookup::run, lookup, 0, nullptr);
    if (thread == 0) {
      delete lookup;
      return nullptr;
    }
    CloseHandle(reinterpret_cast<HANDLE>(thread));
    return lookup;
  }

  // Waits up to `timeoutMs`.  True when the lookup ended in time, with its
  // result and the addresses, which the caller then owns.
  bool wait(uint32_t timeoutMs, int* result, addrinfo** addresses) {
    if (WaitForSingleObject(done_, timeoutMs) != WAIT_OBJECT_0) return false;
    *result = result_;
    *addresses = addresses_;
    addresses_ = nullptr;
    return true;
  }

  // The caller lets go of the lookup, finished or not.
  void release() {
    if (InterlockedDecrement(&references_) == 0) delete this;
  }

 private:
  Lookup(const std::string& host, const std::string& port)
      : host_(host), port_(port), done_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~Lookup() {
    if (addresses_ != nullptr) freeaddrinfo(addresses_);
    if (done_ != nullptr) CloseHandle(done_);
  }

  static unsigned __stdcall run(void* argument) {
    Lookup* lookup = static_cast<Lookup*>(argument);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    lookup->result_ = getaddrinfo(lookup->host_.c_str(), lookup->port_.c_str(), &hints,
                                  &lookup->addresses_);
    SetEvent(lookup->done_);
    lookup->release();
    return 0;
  }

  const std::string host_;
  const std::string port_;
  HANDLE done_;
  volatile LONG references_ = 2;  // the caller and the thread
  int result_ = WSATRY_AGAIN;
  addrinfo* addresses_ = nullptr;
};

}  // namespace

std::unique_ptr<TcpConnection> connectTcp(const std::string& host, const std::string& port,
                                          uint32_t timeoutMs, uint32_t* code,
                                          std::string* reason) {
  if (!startWinsock()) {
    *code = 10091;  // WSASYSNOTREADY
    *reason = "Winsock is not available";
    return nullptr;
  }
  const uint64_t deadline = nowMs() + timeoutMs;
  Lookup* lookup = Lookup::start(host, port);
  if (lookup == nullptr) {
    *code = kErrorHostNotFound;
    *reason = "the name could not be looked up";
    return nullptr;
  }
  int resolved = WSATRY_AGAIN;
  addrinfo* addresses = nullptr;
  const bool answered = lookup->wait(timeoutMs, &resolved, &addresses);
  lookup->release();
  if (!answered) {
    *code = kErrorTimedOut;
    *reason = "the name was not resolved within " + std::to_string(timeoutMs / 1000) + " s";
    return nullptr;
  }
  if (resolved != 0) {
    *code = kErrorHostNotFound;
    *reason = textOf(resolved);
    return nullptr;
  }
  int failure = WSAETIMEDOUT;
  SOCKET s = INVALID_SOCKET;
  for (const addrinfo* a = addresses; a != nullptr && s == INVALID_SOCKET; a = a->ai_next) {
    if (nowMs() >= deadline) {
      failure = WSAETIMEDOUT;
      break;
    }
    s = connectOne(a, deadline, &failure);
  }
  freeaddrinfo(addresses);
  if (s == INVALID_SOCKET) {
    *code = static_cast<uint32_t>(failure);
    *reason = failure == WSAETIMEDOUT
                  ? "no answer within " + std::to_string(timeoutMs / 1000) + " s"
                  : textOf(failure);
    return nullptr;
  }
  return std::make_unique<WinsockConnection>(s);
}

}  // namespace platform

#endif  // _WIN32
