#include "link/serial_link.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/ticks.h"
#include "link/network_port.h"
#include "link/trace_log.h"
#include "platform/port_list.h"

namespace {

bool sameTimeouts(const COMMTIMEOUTS& a, const COMMTIMEOUTS& b) {
  return a.ReadIntervalTimeout == b.ReadIntervalTimeout &&
         a.ReadTotalTimeoutMultiplier == b.ReadTotalTimeoutMultiplier &&
         a.ReadTotalTimeoutConstant == b.ReadTotalTimeoutConstant &&
         a.WriteTotalTimeoutMultiplier == b.WriteTotalTimeoutMultiplier &&
         a.WriteTotalTimeoutConstant == b.WriteTotalTimeoutConstant;
}

#ifndef _WIN32
// Milliseconds from now until `deadline`, 0 once it has passed.
DWORD remainingUntil(DWORD deadline) {
  const DWORD now = GetTickCount();
  if (tickPassed(now, deadline) || now == deadline) return 0;
  return static_cast<DWORD>(deadline - now);
}
#endif

}  // namespace

const char* errorCheck(DWORD code) {
  switch (code) {
    case 2:
      return "The COM port selected don't exist!";
    case 5:
      return "The COM port selected is already open by an other program!";
    default:
      return "";
  }
}

std::string openFailureText(const char* portName, DWORD code) {
  // On POSIX a device the user may not use is refused with the same code
  // as one held by another program; say which it is.
  if (code == ERROR_ACCESS_DENIED) {
    const platform::PortAccess access = platform::portAccess(portName);
    if (access.denied) return "no permission to use " + access.device;
  }
  return errorCheck(code);
}

SerialLink::SerialLink(const char* portName) {
  std::snprintf(portName_, sizeof portName_, "%s", portName);
  std::snprintf(devicePath_, sizeof devicePath_, "\\\\.\\%s", portName_);
  target_ = resolvePortName(portName_);
  if (target_.network()) std::snprintf(devicePath_, sizeof devicePath_, "%s", target_.text.c_str());
}

// Quietly: the trace may be gone already.
SerialLink::~SerialLink() {
  trace_ = nullptr;
  close();
}

void SerialLink::close() {
  if (isOpen()) {
    portClose();
    note("port closed");
  }
}

void SerialLink::notef(const char* format, ...) {
  if (trace_ == nullptr) return;
  char text[512];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  trace_->note(text);
}

void SerialLink::traceNote(const char* text) { trace_->note(text); }

void SerialLink::traceLabelled(const char* label, const void* text, std::size_t length) {
  trace_->note(::traceText(label, text, length));
}

void SerialLink::traceBytes(bool fromUpdater, const void* data, DWORD count) {
  trace_->bytes(fromUpdater, data, count, dcb_.BaudRate);
}

void SerialLink::traceFailure(const char* what) {
  notef("%s failed: error %lu", what, static_cast<unsigned long>(lastError_));
}

// The set-up sequence: open, read the port's settings, apply 8N1 at `baud`
// with RTS off and no software flow control, apply the polling time-outs.
bool SerialLink::configure(bool reopen, DWORD baud, bool quietOpenFailure) {
  if (target_.network()) return configureNetwork(baud, quietOpenFailure);
  bool ok = true;
  handle_ = CreateFileA(devicePath_, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                        nullptr);
  if (handle_ == INVALID_HANDLE_VALUE) {
    lastError_ = GetLastError();
    if (trace_ != nullptr) traceFailure("port open");
    if (quietOpenFailure) return false;
    std::printf("Failed to open %s :  %s\n", portName_,
                openFailureText(portName_, lastError_).c_str());
    if (!reopen) return false;
    ok = false;
  }

  dcb_.DCBlength = sizeof(DCB);
  if (!GetCommState(handle_, &dcb_)) {
    lastError_ = GetLastError();
    if (trace_ != nullptr) traceFailure("reading the port's settings");
    std::printf("Failed to get port status : error %ld  \n", static_cast<long>(lastError_));
    if (!reopen) return false;
    ok = false;
  }

  dcb_.BaudRate = baud;
  dcb_.ByteSize = 8;
  dcb_.Parity = NOPARITY;
  dcb_.StopBits = ONESTOPBIT;
  dcb_.fRtsControl = RTS_CONTROL_DISABLE;
  // A binary protocol must not run with software flow control: 0x11 and
  // 0x13 in the data would stall the line or vanish.
  dcb_.fOutX = 0;
  dcb_.fInX = 0;
  if (!SetCommState(handle_, &dcb_)) {
    lastError_ = GetLastError();
    if (trace_ != nullptr) traceFailure("setting the port's line");
    std::printf("Failed to set port state : error %ld\n", static_cast<long>(lastError_));
    if (!reopen) return false;
    ok = false;
  }

  timeouts_ = kPolling;
  if (!applyTimeouts(kPolling)) {
    std::printf("Failed to set timeout : error %ld\n", static_cast<long>(lastError_));
    if (!reopen) return false;
    ok = false;
  }
  if (ok) {
    lastError_ = 0;
    notef("port %s open at %lu bit/s 8N1", portName_, static_cast<unsigned long>(baud));
  }
  return ok;
}

bool SerialLink::open(bool reopen) { return configure(reopen, 115200); }

bool SerialLink::reopen() {
  close();
  return configure(true, 115200);
}

bool SerialLink::reopenAt(DWORD baud) {
  close();
  return configure(false, baud, /*quietOpenFailure=*/true);
}

bool SerialLink::setBaudRate(DWORD rate) {
  dcb_.BaudRate = rate;
  if (!portSetState()) {
    lastError_ = GetLastError();
    if (trace_ != nullptr) traceFailure("bit rate change");
    return false;
  }
  lastError_ = 0;
  notef("bit rate %lu", static_cast<unsigned long>(rate));
  return true;
}

bool SerialLink::applyTimeouts(const COMMTIMEOUTS& timeouts) {
  COMMTIMEOUTS copy = timeouts;
  if (!portSetTimeouts(&copy)) {
    lastError_ = GetLastError();
    if (trace_ != nullptr) traceFailure("setting the port's time-outs");
    return false;
  }
  applied_ = timeouts;
  return true;
}

bool SerialLink::setTimeouts(const COMMTIMEOUTS& timeouts) {
  timeouts_ = timeouts;
  if (!applyTimeouts(timeouts)) return false;
  lastError_ = 0;
  return true;
}

bool SerialLink::restoreProfile() {
  if (sameTimeouts(applied_, timeouts_)) return true;
  return applyTimeouts(timeouts_);
}

// One ReadFile under the time-outs the port has now.
bool SerialLink::readOnce(void* buffer, DWORD capacity, DWORD* got) {
  *got = 0;
  DWORD count = 0;
  if (!portRead(buffer, capacity, &count)) {
    lastError_ = GetLastError();
    if (trace_ != nullptr) traceFailure("read");
    return false;
  }
  *got = count > capacity ? capacity : count;
  if (trace_ != nullptr) traceBytes(false, buffer, *got);
  lastError_ = 0;
  return true;
}

bool SerialLink::read(void* buffer, DWORD capacity, DWORD* got) {
  *got = 0;
  if (!restoreProfile()) return false;
  return readOnce(buffer, capacity, got);
}

bool SerialLink::readUntil(void* buffer, DWORD capacity, DWORD deadline, DWORD* got) {
  *got = 0;
#ifdef _WIN32
  // On Windows a change of time-outs goes down to the driver (under Wine,
  // through its server) and bytes arriving meanwhile can be lost: the wait
  // reads under the profile in force until a byte comes or the deadline
  // passes.  With the polling profile each read waits up to 1 ms.
  if (!restoreProfile()) return false;
  for (;;) {
    if (!readOnce(buffer, capacity, got)) return false;
    if (*got > 0 || deadlinePassed(deadline)) return true;
  }
#else
  // One read that returns at once with what is waiting and otherwise
  // sleeps in poll() until the first byte or the deadline.  The write
  // time-outs stay those of the profile in force.
  COMMTIMEOUTS wait = timeouts_;
  wait.ReadIntervalTimeout = MAXDWORD;
  wait.ReadTotalTimeoutMultiplier = MAXDWORD;
  const DWORD remaining = remainingUntil(deadline);
  wait.ReadTotalTimeoutConstant = remaining > 0 ? remaining : 1;
  if (!sameTimeouts(applied_, wait) && !applyTimeouts(wait)) return false;
  return readOnce(buffer, capacity, got);
#endif
}

SerialLink::Wait SerialLink::waitByte(unsigned char* byte, DWORD deadline) {
  for (;;) {
    DWORD got = 0;
    if (!readUntil(byte, 1, deadline, &got)) return Wait::kFailed;
    if (got == 1) return Wait::kByte;
    if (deadlinePassed(deadline)) return Wait::kTimeout;
  }
}

SerialLink::Wait SerialLink::waitAnyOf(const unsigned char* set, std::size_t count,
                                       DWORD deadline, unsigned char* byte) {
  for (;;) {
    const Wait w = waitByte(byte, deadline);
    if (w != Wait::kByte) return w;
    for (std::size_t k = 0; k < count; ++k)
      if (set[k] == *byte) return Wait::kByte;
  }
}

std::size_t SerialLink::drain(DWORD limitMs) {
  unsigned char scratch[1024];
  const DWORD limit = deadlineIn(limitMs);
  std::size_t dropped = 0;
  DWORD got = 0;
  portPurgeInput();
  do {
    if (!read(scratch, sizeof scratch, &got)) got = 0;
    dropped += got;
  } while (got > 0 && !deadlinePassed(limit));
  return dropped;
}

bool SerialLink::writeAll(const void* data, std::size_t count, DWORD stallMs,
                          std::size_t* sent) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  std::size_t offset = 0;
  if (sent != nullptr) *sent = 0;
  if (!restoreProfile()) return false;
  DWORD stalledSince = GetTickCount();
  while (offset < count) {
    DWORD written = 0;
    if (!portWrite(bytes + offset, static_cast<DWORD>(count - offset), &written)) {
      lastError_ = GetLastError();
      if (trace_ != nullptr) traceFailure("write");
      return false;
    }
    if (written > count - offset) written = static_cast<DWORD>(count - offset);
    if (trace_ != nullptr) traceBytes(true, bytes + offset, written);
    offset += written;
    if (sent != nullptr) *sent = offset;
    if (written > 0) {
      stalledSince = GetTickCount();
    } else if (tickPassed(GetTickCount(), stalledSince + stallMs)) {
      // A write time-out returns success with what it moved: a peer that
      // stops reading would otherwise keep this loop going for ever.
      lastError_ = ERROR_TIMEOUT;
      notef("write stalled: %lu of %lu bytes sent", static_cast<unsigned long>(offset),
            static_cast<unsigned long>(count));
      return false;
    }
  }
  lastError_ = 0;
  return true;
}

bool SerialLink::writeByte(unsigned char byte) {
  if (!restoreProfile()) return false;
  DWORD written = 0;
  if (!portWrite(&byte, 1, &written)) {
    lastError_ = GetLastError();
    if (trace_ != nullptr) traceFailure("write");
    return false;
  }
  if (trace_ != nullptr) traceBytes(true, &byte, written > 1 ? 1 : written);
  lastError_ = 0;
  return true;
}
