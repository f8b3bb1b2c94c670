// The link's calls on its open port: a local device through the Win32
// calls, or a console server's port through NetworkPort.  Above this, the
// link, the protocols and the jobs do not know which one carries the line.
#include <cstdio>

#include "link/network_port.h"
#include "link/serial_link.h"

// Connects and sets the line.  The message names the server and the
// reason; the local port's steps (state, time-outs) have no counterpart.
bool SerialLink::configureNetwork(DWORD baud, bool quietOpenFailure) {
  network_ = std::make_unique<NetworkPort>(target_);
  if (!network_->open(baud)) {
    lastError_ = network_->errorCode();
    notef("port open failed: %s", network_->failure().c_str());
    if (!quietOpenFailure)
      std::printf("Failed to open %s :  %s\n", portName_, network_->failure().c_str());
    network_.reset();
    return false;
  }
  dcb_ = DCB{};
  dcb_.DCBlength = sizeof(DCB);
  dcb_.BaudRate = baud;
  dcb_.ByteSize = 8;
  dcb_.Parity = NOPARITY;
  dcb_.StopBits = ONESTOPBIT;
  timeouts_ = kPolling;
  applyTimeouts(kPolling);
  lastError_ = 0;
  notef("port %s open at %lu bit/s 8N1", target_.text.c_str(), static_cast<unsigned long>(baud));
  return true;
}

// A connection the server closed or reset is said once, on its own line,
// before the mode's own message about the failed exchange.
static BOOL told(NetworkPort& network, BOOL result) {
  if (network.lossToReport()) {
    std::printf("\n%s\n", network.failure().c_str());
    std::fflush(stdout);
  }
  return result;
}

BOOL SerialLink::portRead(void* buffer, DWORD capacity, DWORD* got) {
  if (network_) return told(*network_, network_->read(buffer, capacity, got));
  return ReadFile(handle_, buffer, capacity, got, nullptr);
}

BOOL SerialLink::portWrite(const void* data, DWORD count, DWORD* written) {
  if (network_) return told(*network_, network_->write(data, count, written));
  return WriteFile(handle_, data, count, written, nullptr);
}

BOOL SerialLink::portSetState() {
  if (network_) {
    if (network_->setBaudRate(dcb_.BaudRate)) return TRUE;
    notef("%s", network_->failure().c_str());
    return told(*network_, FALSE);
  }
  return SetCommState(handle_, &dcb_);
}

BOOL SerialLink::portSetTimeouts(COMMTIMEOUTS* timeouts) {
  if (network_) return told(*network_, network_->setTimeouts(*timeouts));
  return SetCommTimeouts(handle_, timeouts);
}

SerialLink::Burst::Burst(SerialLink& link) : link_(link) {
  if (link_.network_) link_.network_->holdWrites();
}

bool SerialLink::Burst::end() {
  if (!open_ || !link_.network_) return true;
  open_ = false;
  if (told(*link_.network_, link_.network_->sendHeld())) return true;
  link_.lastError_ = GetLastError();
  if (link_.trace_ != nullptr) link_.traceFailure("write");
  return false;
}

void SerialLink::portPurgeInput() {
  if (network_) network_->purgeInput();
}

void SerialLink::portClose() {
  if (network_) {
    network_.reset();
    return;
  }
  CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}
