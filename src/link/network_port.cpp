#include "link/network_port.h"

#include <algorithm>

#include "common/ticks.h"

namespace {

constexpr std::size_t kReceiveChunk = 4096;
constexpr std::size_t kMaxPending = 64 * 1024;
// A write with no time-out of its own still ends: a server that stops
// taking bytes for this long has failed.
constexpr DWORD kLongestWriteMs = 10000;
// Negotiation answers are a few bytes; the server takes them at once.
constexpr uint32_t kReplyMs = 1000;

DWORD remainingUntil(DWORD deadline) {
  const DWORD now = GetTickCount();
  if (!tickPassed(deadline, now)) return 0;
  return static_cast<DWORD>(deadline - now);
}

}  // namespace

NetworkPort::NetworkPort(const PortName& name, Connector connector)
    : name_(name), connector_(std::move(connector)) {
  if (!connector_) connector_ = platform::connectTcp;
}

BOOL NetworkPort::fail(DWORD code, const std::string& text) {
  errorCode_ = code;
  failure_ = text;
  SetLastError(code);
  return FALSE;
}

BOOL NetworkPort::lose(const platform::TcpConnection& connection) {
  lost_ = true;
  return fail(connection.errorCode(), "the connection to " + name_.host + " port " + name_.port +
                                          " was lost: " + connection.errorText());
}

bool NetworkPort::open(DWORD baud) {
  uint32_t code = 0;
  std::string reason;
  connection_ = connector_(name_.host, name_.port, kConnectMs, &code, &reason);
  if (!connection_)
    return fail(code, "cannot connect to " + name_.host + " port " + name_.port + ": " + reason);
  if (name_.kind == PortKind::kRawTcp) {
    baud_ = baud;
    return true;
  }
  if (!negotiate(baud)) {
    connection_.reset();
    return false;
  }
  return true;
}

// Telnet options first, then the line: 8 data bits, no parity, one stop
// bit, no flow control, RTS off, and last the bit rate, whose answer the
// open waits for.  A server answers in order, so the answers to the other
// settings have come by then, and one that set another value fails the
// open; a server that answers only some settings (ser2net answers no
// modem-line request on a pseudo-terminal) is not waited for.
bool NetworkPort::negotiate(DWORD baud) {
  std::vector<uint8_t> out;
  session_.start(&out);
  telnet::appendComByte(telnet::kSetDataSize, 8, &out);
  telnet::appendComByte(telnet::kSetParity, telnet::kParityNone, &out);
  telnet::appendComByte(telnet::kSetStopSize, telnet::kStopBitsOne, &out);
  telnet::appendComByte(telnet::kSetControl, telnet::kControlNoFlowControl, &out);
  telnet::appendComByte(telnet::kSetControl, telnet::kControlRtsOff, &out);
  const unsigned before = session_.answer(telnet::kSetBaudRate).count;
  telnet::appendSetBaudRate(baud, &out);
  if (!sendNow(out)) return false;
  if (!awaitAnswer(telnet::kSetBaudRate, before, deadlineIn(kAnswerMs))) return false;
  struct Setting {
    uint8_t command;
    uint32_t value;
    const char* what;
  };
  for (const Setting& s : {Setting{telnet::kSetDataSize, 8, "data size"},
                           Setting{telnet::kSetParity, telnet::kParityNone, "parity"},
                           Setting{telnet::kSetStopSize, telnet::kStopBitsOne, "stop bits"}}) {
    const telnet::ClientSession::Answer a = session_.answer(s.command);
    if (a.count > 0 && a.value != s.value)
      return fail(ERROR_INVALID_PARAMETER, std::string("the server kept another ") + s.what +
                                               " (" + std::to_string(a.value) + ")");
  }
  return rateTaken(baud);
}

// The server's answer to SET-BAUDRATE must name the rate asked for: a
// server that keeps another rate would garble every byte.
BOOL NetworkPort::rateTaken(DWORD rate) {
  const uint32_t answered = session_.answer(telnet::kSetBaudRate).value;
  if (answered != rate)
    return fail(ERROR_INVALID_PARAMETER, "the server kept the bit rate at " +
                                             std::to_string(answered) + " for " +
                                             std::to_string(rate) + " bit/s");
  baud_ = rate;
  return TRUE;
}

// Waits until `deadline` for an answer to `command` after the `before`th.
// Data that arrives meanwhile is kept for the next read.
bool NetworkPort::awaitAnswer(uint8_t command, unsigned before, DWORD deadline) {
  while (session_.answer(command).count == before) {
    if (session_.refusedNeededOption())
      return fail(ERROR_INVALID_FUNCTION,
                  "the server at " + name_.host + " port " + name_.port +
                      " refused the COM port option (RFC 2217) or 8-bit data");
    const DWORD wait = remainingUntil(deadline);
    if (wait == 0)
      return fail(platform::kErrorTimedOut,
                  "the server at " + name_.host + " port " + name_.port +
                      " did not answer a line setting within " +
                      std::to_string(kAnswerMs / 1000) + " s (is it an RFC 2217 port?)");
    if (pump(wait) == Pump::kLost) return false;
  }
  return true;
}

bool NetworkPort::sendNow(const std::vector<uint8_t>& bytes) {
  std::size_t sent = 0;
  const platform::TcpConnection::Io io =
      connection_->send(bytes.data(), bytes.size(), &sent, kReplyMs);
  if (io == platform::TcpConnection::Io::kClosed || io == platform::TcpConnection::Io::kFailed)
    return lose(*connection_);
  return sent == bytes.size() || serverStalled();
}

// One receive of at most `waitMs`: data goes to the pending bytes, and the
// answers the negotiation needs go out at once.
NetworkPort::Pump NetworkPort::pump(uint32_t waitMs) {
  if (lost_) return Pump::kLost;
  uint8_t raw[kReceiveChunk];
  std::size_t got = 0;
  const platform::TcpConnection::Io io = connection_->receive(raw, sizeof raw, &got, waitMs);
  if (io == platform::TcpConnection::Io::kClosed || io == platform::TcpConnection::Io::kFailed) {
    lose(*connection_);
    return Pump::kLost;
  }
  if (got == 0) return Pump::kNothing;
  if (pendingStart_ > 0) {
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pendingStart_));
    pendingStart_ = 0;
  }
  const std::size_t had = pending_.size();
  if (name_.kind == PortKind::kRawTcp) {
    pending_.insert(pending_.end(), raw, raw + got);
  } else {
    std::vector<uint8_t> reply;
    session_.receive(raw, got, &pending_, &reply);
    if (!reply.empty() && !sendNow(reply)) return Pump::kLost;
  }
  const bool data = pending_.size() > had;
  // Bytes nobody reads (a card that talks while the link waits for an
  // answer from the server) are kept up to a limit, as a port's receive
  // buffer would: beyond it the oldest are lost.
  if (pending_.size() > kMaxPending)
    pending_.erase(pending_.begin(),
                   pending_.begin() + static_cast<std::ptrdiff_t>(pending_.size() - kMaxPending));
  return data ? Pump::kData : Pump::kNothing;
}

std::size_t NetworkPort::takePending(unsigned char* out, std::size_t capacity) {
  const std::size_t n = std::min(capacity, pending_.size() - pendingStart_);
  std::copy(pending_.begin() + static_cast<std::ptrdiff_t>(pendingStart_),
            pending_.begin() + static_cast<std::ptrdiff_t>(pendingStart_ + n), out);
  pendingStart_ += n;
  return n;
}

// The read rules of COMMTIMEOUTS: MAXDWORD/0/0 returns at once with what is
// there; MAXDWORD/MAXDWORD/c waits up to c for the first byte and returns
// with what has come; otherwise a total time-out of multiplier x count +
// constant and an interval time-out between bytes (none when 0).
BOOL NetworkPort::read(void* buffer, DWORD count, DWORD* got) {
  *got = 0;
  if (lost_) return fail(errorCode_, failure_);
  // What counts as written goes before the wait for its answer.
  if (!sendUnsent()) return FALSE;
  unsigned char* out = static_cast<unsigned char*>(buffer);
  const COMMTIMEOUTS& t = timeouts_;
  const bool atOnce = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                      t.ReadTotalTimeoutConstant == 0;
  const bool firstByte = t.ReadIntervalTimeout == MAXDWORD &&
                         t.ReadTotalTimeoutMultiplier == MAXDWORD &&
                         t.ReadTotalTimeoutConstant != 0 &&
                         t.ReadTotalTimeoutConstant != MAXDWORD;
  const DWORD start = GetTickCount();
  DWORD total = 0;
  bool hasTotal = false;
  if (firstByte) {
    total = t.ReadTotalTimeoutConstant;
    hasTotal = true;
  } else if (!atOnce) {
    const uint64_t sum = static_cast<uint64_t>(t.ReadTotalTimeoutMultiplier) * count +
                         t.ReadTotalTimeoutConstant;
    hasTotal = sum != 0;
    total = static_cast<DWORD>(std::min<uint64_t>(sum, 0x7FFFFFFF));
  }
  const bool hasInterval = !atOnce && !firstByte && t.ReadIntervalTimeout != 0 &&
                           t.ReadIntervalTimeout != MAXDWORD;
  DWORD n = static_cast<DWORD>(takePending(out, count));
  DWORD lastByte = GetTickCount();
  bool askedOnce = false;
  while (n < count) {
    DWORD wait = 0xFFFFFFFFu;
    if (atOnce || (firstByte && n > 0)) {
      if (askedOnce) break;
      wait = 0;
    } else {
      if (hasTotal) wait = remainingUntil(start + total);
      if (hasInterval && n > 0) wait = std::min(wait, remainingUntil(lastByte + t.ReadIntervalTimeout));
      if (wait == 0 && askedOnce) break;
      if (wait == 0xFFFFFFFFu) wait = 1000;  // no time-out: wait on in bounded steps
    }
    askedOnce = true;
    const Pump p = pump(wait);
    if (p == Pump::kLost) {
      *got = n;
      return n > 0 ? TRUE : FALSE;
    }
    if (p == Pump::kData) {
      lastByte = GetTickCount();
      n += static_cast<DWORD>(takePending(out + n, count - n));
      askedOnce = false;
    }
  }
  *got = n;
  return TRUE;
}

bool NetworkPort::flushUnsent(DWORD deadline) {
  while (!unsent_.empty()) {
    std::size_t sent = 0;
    const platform::TcpConnection::Io io =
        connection_->send(unsent_.data(), unsent_.size(), &sent, remainingUntil(deadline));
    if (io == platform::TcpConnection::Io::kClosed || io == platform::TcpConnection::Io::kFailed)
      return lose(*connection_);
    unsent_.erase(unsent_.begin(), unsent_.begin() + static_cast<std::ptrdiff_t>(sent));
    if (sent == 0 && remainingUntil(deadline) == 0) return true;
  }
  return true;
}

// A write that cannot finish within multiplier x count + constant returns
// TRUE with what went, as on a local port.  A data byte counts as written
// once the first byte of its escaped form has gone; the second half of an
// IAC IAC pair then goes before anything else.
BOOL NetworkPort::write(const void* data, DWORD count, DWORD* put) {
  *put = 0;
  if (lost_) return fail(errorCode_, failure_);
  uint64_t limit = static_cast<uint64_t>(timeouts_.WriteTotalTimeoutMultiplier) * count +
                   timeouts_.WriteTotalTimeoutConstant;
  if (limit == 0 || limit > kLongestWriteMs) limit = kLongestWriteMs;
  const DWORD deadline = deadlineIn(static_cast<DWORD>(limit));
  if (holding_) return gather(static_cast<const uint8_t*>(data), count, deadline, put);
  if (!flushUnsent(deadline)) return FALSE;
  if (!unsent_.empty()) return TRUE;
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  std::vector<uint8_t> wire;
  appendWire(bytes, count, &wire);
  std::size_t sent = 0;
  const platform::TcpConnection::Io io =
      connection_->send(wire.data(), wire.size(), &sent, remainingUntil(deadline));
  if (io == platform::TcpConnection::Io::kClosed || io == platform::TcpConnection::Io::kFailed)
    return lose(*connection_);
  // Map the escaped bytes sent back to data bytes.
  std::size_t wireAt = 0;
  DWORD written = 0;
  while (written < count && wireAt < sent) {
    const bool doubled = name_.kind != PortKind::kRawTcp && bytes[written] == telnet::kIac;
    wireAt += doubled ? 2 : 1;
    if (wireAt > sent) unsent_.push_back(telnet::kIac);
    ++written;
  }
  *put = written;
  return TRUE;
}

// Data as it goes on the connection: as it is over raw TCP, 0xFF doubled
// over Telnet.
void NetworkPort::appendWire(const uint8_t* bytes, DWORD count, std::vector<uint8_t>* out) const {
  if (name_.kind == PortKind::kRawTcp)
    out->insert(out->end(), bytes, bytes + count);
  else
    telnet::escapeData(bytes, count, out);
}

// A held write counts as written at once, as bytes taken into a local
// port's transmit buffer do; the first of a gathering goes at once, the
// rest when kHeldSegment have come.
BOOL NetworkPort::gather(const uint8_t* bytes, DWORD count, DWORD deadline, DWORD* put) {
  appendWire(bytes, count, &unsent_);
  *put = count;
  if (heldFirst_ && unsent_.size() < kHeldSegment) return TRUE;
  heldFirst_ = true;
  return flushUnsent(deadline) ? TRUE : FALSE;
}

void NetworkPort::holdWrites() {
  holding_ = true;
  heldFirst_ = false;
}

bool NetworkPort::sendHeld() {
  holding_ = false;
  if (lost_) return fail(errorCode_, failure_);
  return sendUnsent();
}

// Everything counted as written, before anything else goes or is awaited.
bool NetworkPort::sendUnsent() {
  if (!flushUnsent(deadlineIn(kLongestWriteMs))) return false;
  return unsent_.empty() || serverStalled();
}

BOOL NetworkPort::serverStalled() {
  return fail(ERROR_TIMEOUT, "the server at " + name_.host + " port " + name_.port +
                                 " takes no more bytes");
}

BOOL NetworkPort::setTimeouts(const COMMTIMEOUTS& timeouts) {
  if (lost_) return fail(errorCode_, failure_);
  timeouts_ = timeouts;
  return TRUE;
}

BOOL NetworkPort::setBaudRate(DWORD rate) {
  if (lost_) return fail(errorCode_, failure_);
  if (rate == baud_) return TRUE;
  if (name_.kind == PortKind::kRawTcp)
    return fail(ERROR_INVALID_PARAMETER, "a raw TCP port (socket://) cannot change the bit rate");
  if (!sendUnsent()) return FALSE;
  std::vector<uint8_t> out;
  const unsigned before = session_.answer(telnet::kSetBaudRate).count;
  telnet::appendSetBaudRate(rate, &out);
  if (!sendNow(out) || !awaitAnswer(telnet::kSetBaudRate, before, deadlineIn(kAnswerMs)))
    return FALSE;
  return rateTaken(rate);
}

void NetworkPort::purgeInput() {
  if (lost_ || name_.kind != PortKind::kRfc2217) return;
  // Never inside an escaped pair, nor ahead of bytes counted as written.
  if (!sendUnsent()) return;
  std::vector<uint8_t> out;
  telnet::appendComByte(telnet::kPurgeData, telnet::kPurgeReceiveBuffer, &out);
  sendNow(out);
}
