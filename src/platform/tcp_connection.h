// A TCP connection to a console server: the operating system's sockets
// (POSIX sockets in posix_socket.cpp, Winsock in win32_socket.cpp) behind
// one small interface without OS types.  Every call is bounded by the time
// it is given; none blocks beyond it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class TcpConnection {
 public:
  enum class Io {
    kOk,       // moved bytes (or nothing was asked)
    kTimeout,  // nothing moved within the time given
    kClosed,   // the peer closed the connection
    kFailed,   // reset, or another error: see errorCode() and errorText()
  };

  virtual ~TcpConnection() = default;

  // Waits up to `timeoutMs` (0: not at all) for bytes and takes what is
  // there, at most `capacity`.
  virtual Io receive(void* buffer, std::size_t capacity, std::size_t* got,
                     uint32_t timeoutMs) = 0;
  // Sends what it can of `count` bytes within `timeoutMs`; `*sent` says
  // how many went.
  virtual Io send(const void* data, std::size_t count, std::size_t* sent, uint32_t timeoutMs) = 0;

  // The Win32 code of the latest failure (WSAE... numbers on both
  // platforms) and its text.
  uint32_t errorCode() const { return errorCode_; }
  const std::string& errorText() const { return errorText_; }

 protected:
  uint32_t errorCode_ = 0;
  std::string errorText_;
};

// Win32 codes of the network failures (Winsock's numbers).
constexpr uint32_t kErrorConnectionReset = 10054;  // WSAECONNRESET
constexpr uint32_t kErrorTimedOut = 10060;         // WSAETIMEDOUT
constexpr uint32_t kErrorConnectionRefused = 10061;
constexpr uint32_t kErrorHostNotFound = 11001;     // WSAHOST_NOT_FOUND

// Resolves `host` (a name or an IPv4/IPv6 literal) and connects to `port`
// on the first address that answers, all within `timeoutMs`, with
// TCP_NODELAY.  nullptr on failure, with the code and a text such as
// "connection refused" in `*code` and `*reason`.
std::unique_ptr<TcpConnection> connectTcp(const std::string& host, const std::string& port,
                                          uint32_t timeoutMs, uint32_t* code,
                                          std::string* reason);

}  // namespace platform
