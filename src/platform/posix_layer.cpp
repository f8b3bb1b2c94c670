// The POSIX platform layer's own state: each thread's last Win32 error code,
// the one table from errno to those codes, and the installed test hooks.
#ifndef _WIN32

#include "platform/posix_internal.h"

#include <cerrno>

#include <sys/ioctl.h>

namespace platform {

thread_local DWORD lastError = 0;
Hooks* hooks = nullptr;

void fail(DWORD code) { lastError = code; }
void failErrno(int err) { lastError = win32ErrorFromErrno(err); }

void installHooks(Hooks* h) { hooks = h; }

int Hooks::serialIoctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }

DWORD win32ErrorFromErrno(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT:
    case ENODEV:
    case ENXIO: return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK: return ERROR_ACCESS_DENIED;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOTTY: return ERROR_INVALID_FUNCTION;
    case EIO: return ERROR_IO_DEVICE;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    default: return ERROR_GEN_FAILURE;
  }
}

}  // namespace platform

DWORD GetLastError() { return platform::lastError; }
void SetLastError(DWORD code) { platform::lastError = code; }

#endif  // !_WIN32
