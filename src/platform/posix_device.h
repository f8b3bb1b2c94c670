// POSIX side of the platform layer: what a HANDLE stands for, and the hooks
// through which the unit tests replace the serial device, the clock, the
// pauses and the keyboard with scripted ones (a fake port on a virtual
// clock).  Only the platform layer and the test support include this.
#pragma once
#ifndef _WIN32

#include <cstdint>
#include <memory>
#include <string>

#include "platform/tcp_connection.h"
#include "platform/win32.h"

namespace platform {

// One open object behind a HANDLE: a serial device or a plain file.
class Device {
 public:
  virtual ~Device() = default;
  virtual BOOL read(void* buf, DWORD count, DWORD* got) = 0;
  virtual BOOL write(const void* buf, DWORD count, DWORD* put) = 0;
  virtual BOOL getState(DCB* dcb) = 0;
  virtual BOOL setState(const DCB* dcb) = 0;
  virtual BOOL setTimeouts(const COMMTIMEOUTS* t) = 0;
  virtual DWORD size(DWORD* high) = 0;
};

// Replacements used by the unit tests.  Any hook left at its default falls
// through to the real operating system.
class Hooks {
 public:
  virtual ~Hooks() = default;
  virtual uint32_t ticks() = 0;
  virtual void sleep(uint32_t ms) = 0;
  virtual int getch() = 0;
  // Return a device for a port name such as "COM7", or nullptr to open the
  // real device.  `error` receives the Win32 code when the open must fail.
  virtual std::unique_ptr<Device> open(const std::string& portName, DWORD* error) {
    (void)portName;
    (void)error;
    return nullptr;
  }
  // A connection to a console server: true when the hook made it, or
  // refused it (`*connection` left empty, `*code` and `*reason` set); false
  // to connect for real.
  virtual bool connectTcp(const std::string& host, const std::string& port, uint32_t timeoutMs,
                          std::unique_ptr<TcpConnection>* connection, uint32_t* code,
                          std::string* reason) {
    (void)host;
    (void)port;
    (void)timeoutMs;
    (void)connection;
    (void)code;
    (void)reason;
    return false;
  }
  // The serial driver's settings requests (TIOCGSERIAL, TIOCSSERIAL), by
  // which an opened port asks for low latency: ioctl() unless replaced.
  virtual int serialIoctl(int fd, unsigned long request, void* arg);
};

// Installs hooks (nullptr restores the real system).  Not thread-safe: the
// updater is single-threaded, and so are the tests that use this.
void installHooks(Hooks* hooks);

// Win32 error code for a POSIX errno value; the one table of the layer.
DWORD win32ErrorFromErrno(int err);

// Device path for a port name ("COM7" -> "/dev/ttyS6", "COMUSB0" ->
// "/dev/ttyUSB0", "COMACM1" -> "/dev/ttyACM1"); UPDATER_PORT_<NAME> in the
// environment wins.  Empty when the name is not a port name.
std::string devicePathForPort(const std::string& portName);

}  // namespace platform

#endif  // !_WIN32
