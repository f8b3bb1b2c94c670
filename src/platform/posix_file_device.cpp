// A plain file behind a HANDLE on POSIX.
#ifndef _WIN32

#include "platform/posix_internal.h"

#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

// A plain file opened through CreateFileA (the appMain.mot size test).
class FileDevice : public Device {
 public:
  explicit FileDevice(int fd) : fd_(fd) {}
  ~FileDevice() override { ::close(fd_); }
  BOOL read(void* buf, DWORD count, DWORD* got) override {
    return transferred(::read(fd_, buf, count), got);
  }
  BOOL write(const void* buf, DWORD count, DWORD* put) override {
    return transferred(::write(fd_, buf, count), put);
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
  // A read(2) or write(2) result the Win32 way: the bytes moved, or FALSE
  // with the error.
  static BOOL transferred(ssize_t n, DWORD* moved) {
    if (n < 0) {
      failErrno(errno);
      if (moved) *moved = 0;
      return FALSE;
    }
    if (moved) *moved = static_cast<DWORD>(n);
    return TRUE;
  }
  static BOOL notAPort() {
    fail(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  int fd_;
};

}  // namespace

Device* newFileDevice(int fd) { return new FileDevice(fd); }

}  // namespace platform

#endif  // !_WIN32
