// A serial port behind a console server, with the observable behaviour of
// a local port: reads and writes honour the port's COMMTIMEOUTS, a failed
// call leaves its Win32 code for GetLastError, and a bit rate change is in
// force before the next byte goes out.
//
//   rfc2217://HOST:PORT  Telnet with the COM Port Control Option: at open
//                        the line is set to 8N1 without flow control and to
//                        the bit rate, and a rate change waits for the
//                        server's answer.  Data 0xFF is doubled both ways.
//   socket://HOST:PORT   raw TCP: the bytes as they are, at whatever rate
//                        the server has set; a rate change is refused.
//
// A connection the server closes or resets is a vanished port: that call
// and every later one fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/port_name.h"
#include "link/rfc2217.h"
#include "platform/tcp_connection.h"
#include "platform/win32.h"

class NetworkPort {
 public:
  using Connector = std::function<std::unique_ptr<platform::TcpConnection>(
      const std::string& host, const std::string& port, uint32_t timeoutMs, uint32_t* code,
      std::string* reason)>;

  // A connect that takes longer fails.
  static constexpr uint32_t kConnectMs = 5000;
  // The longest wait for the server's answer to a line setting.
  static constexpr uint32_t kAnswerMs = 3000;

  // `name` is a network form; `connector` makes the connection (the
  // operating system's by default).
  explicit NetworkPort(const PortName& name, Connector connector = nullptr);

  // Connects and, over RFC 2217, sets the line to 8N1 at `baud`.  False
  // with errorCode() and failure() set.
  bool open(DWORD baud);

  // ReadFile, WriteFile, SetCommTimeouts and the rate of SetCommState.
  BOOL read(void* buffer, DWORD count, DWORD* got);
  BOOL write(const void* data, DWORD count, DWORD* put);
  BOOL setTimeouts(const COMMTIMEOUTS& timeouts);
  BOOL setBaudRate(DWORD rate);
  // Asks the server to drop what it holds from the card (RFC 2217 only).
  void purgeInput();

  // Bytes meant to follow each other on the line without a pause (a flash
  // block, a kernel), written one call a byte: until sendHeld(), writes
  // gather them and the server gets them kHeldSegment at a time, the first
  // at once so that the line starts.  One TCP segment a byte would cost the
  // server a pass of its loop each, more than a byte's time at 115200 bit/s,
  // and every block would end late by the backlog.  A read sends what is
  // gathered first.
  static constexpr std::size_t kHeldSegment = 16;
  void holdWrites();
  // Sends what was gathered and ends the gathering.  False when the
  // connection failed or the server took nothing for the write limit.
  bool sendHeld();

  DWORD baudRate() const { return baud_; }
  bool lost() const { return lost_; }
  // True once, at the first call after the connection was lost: the caller
  // tells the operator, who could not otherwise tell it from a silent card.
  bool lossToReport() {
    if (!lost_ || lossReported_) return false;
    lossReported_ = true;
    return true;
  }
  DWORD errorCode() const { return errorCode_; }
  // What went wrong, for people: "cannot connect to rack1 port 4001:
  // connection refused".
  const std::string& failure() const { return failure_; }

 private:
  enum class Pump { kData, kNothing, kLost };

  bool negotiate(DWORD baud);
  bool awaitAnswer(uint8_t command, unsigned before, DWORD deadline);
  Pump pump(uint32_t waitMs);
  bool sendNow(const std::vector<uint8_t>& bytes);
  bool flushUnsent(DWORD deadline);
  bool sendUnsent();
  BOOL serverStalled();
  void appendWire(const uint8_t* bytes, DWORD count, std::vector<uint8_t>* out) const;
  BOOL gather(const uint8_t* bytes, DWORD count, DWORD deadline, DWORD* put);
  BOOL fail(DWORD code, const std::string& text);
  BOOL rateTaken(DWORD rate);
  BOOL lose(const platform::TcpConnection& connection);
  std::size_t takePending(unsigned char* out, std::size_t capacity);

  PortName name_;
  Connector connector_;
  std::unique_ptr<platform::TcpConnection> connection_;
  telnet::ClientSession session_;
  std::vector<uint8_t> pending_;  // data received, not yet read
  std::size_t pendingStart_ = 0;
  // Bytes counted as written that have not gone yet: the tail of an
  // escaped 0xFF pair, or what holdWrites() gathers.
  std::vector<uint8_t> unsent_;
  bool holding_ = false;
  bool heldFirst_ = false;  // the first byte of the gathering went at once
  COMMTIMEOUTS timeouts_{0, 0, 0, 0, 0};
  DWORD baud_ = 0;
  bool lost_ = false;
  bool lossReported_ = false;
  DWORD errorCode_ = 0;
  std::string failure_;
};
