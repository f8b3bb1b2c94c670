// The handle API of win32.h on POSIX: CreateFileA opens a serial port (a
// tty, found by its port name) or a plain file, and the calls on a HANDLE
// go to the device behind it.
#ifndef _WIN32

#include "platform/posix_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

Device* deviceOf(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) {
    fail(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return static_cast<Device*>(h);
}

// A read or a write through `h`: `transfer` on its device, or nothing
// moved when `h` has none.
template <typename Transfer>
BOOL transferOn(HANDLE h, LPDWORD moved, Transfer transfer) {
  Device* d = deviceOf(h);
  if (!d) {
    if (moved) *moved = 0;
    return FALSE;
  }
  return transfer(*d);
}

}  // namespace

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
    return platform::newFileDevice(fd);
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
  return platform::newTtyDevice(fd);
}

BOOL CloseHandle(HANDLE h) {
  Device* d = platform::deviceOf(h);
  if (!d) return FALSE;
  delete d;
  return TRUE;
}

BOOL ReadFile(HANDLE h, LPVOID buf, DWORD count, LPDWORD got, void*) {
  return platform::transferOn(h, got, [&](Device& d) { return d.read(buf, count, got); });
}

BOOL WriteFile(HANDLE h, LPCVOID buf, DWORD count, LPDWORD put, void*) {
  return platform::transferOn(h, put, [&](Device& d) { return d.write(buf, count, put); });
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

#endif  // !_WIN32
