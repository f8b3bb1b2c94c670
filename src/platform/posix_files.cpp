// POSIX side of files.h.
#ifndef _WIN32

#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1  // renameat2
#endif

#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

bool failed(std::string* why) {
  if (why != nullptr) *why = std::strerror(errno);
  return false;
}

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string realPathOrEmpty(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

}  // namespace

FileIdentity identifyFile(const char* path) {
  FileIdentity identity;
  struct stat st {};
  if (stat(path, &st) != 0) return identity;
  identity.kind = S_ISREG(st.st_mode)   ? FileIdentity::Kind::Regular
                  : S_ISDIR(st.st_mode) ? FileIdentity::Kind::Directory
                                        : FileIdentity::Kind::Other;
  identity.volume = static_cast<uint64_t>(st.st_dev);
  identity.index = static_cast<uint64_t>(st.st_ino);
  return identity;
}

bool isSymbolicLink(const char* path) {
  struct stat st {};
  return lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
}

std::string resolvedPath(const char* path) {
  std::string current = path;
  // A chain of links to a file still to be made: follow a few, as open would.
  for (int hops = 0; hops < 16; ++hops) {
    const std::string whole = realPathOrEmpty(current);
    if (!whole.empty()) return whole;
    char target[PATH_MAX];
    const ssize_t n = readlink(current.c_str(), target, sizeof target - 1);
    if (n <= 0) break;
    target[n] = '\0';
    current = target[0] == '/' ? std::string(target) : folderOf(current) + "/" + target;
  }
  const std::string folder = realPathOrEmpty(folderOf(current));
  const std::string base = baseOf(current);
  if (folder.empty()) return current;  // a folder that is not there: the name as it is
  return folder == "/" ? "/" + base : folder + "/" + base;
}

NewFile::~NewFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool NewFile::create(const char* path, std::string* why) {
  fd_ = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  return fd_ >= 0 || failed(why);
}

bool NewFile::isOpen() const { return fd_ >= 0; }

bool NewFile::write(const void* bytes, std::size_t count, std::string* why) {
  const char* at = static_cast<const char*>(bytes);
  while (count > 0) {
    const ssize_t n = ::write(fd_, at, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return failed(why);
    }
    at += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

bool NewFile::flushToDisk(std::string* why) {
  while (fsync(fd_) != 0) {
    if (errno != EINTR) return failed(why);
  }
  return true;
}

bool NewFile::close(std::string* why) {
  const int fd = fd_;
  fd_ = -1;
  return ::close(fd) == 0 || failed(why);
}

StaleFile removeStaleFile(const char* path, std::string* why) {
  struct stat st {};
  if (lstat(path, &st) != 0) {
    if (errno == ENOENT) return StaleFile::Absent;
    failed(why);
    return StaleFile::Refused;
  }
  if (!S_ISREG(st.st_mode)) {
    *why = S_ISLNK(st.st_mode) ? "it is a symbolic link" : "it is not a regular file";
    return StaleFile::Refused;
  }
  if (unlink(path) != 0 && errno != ENOENT) {
    failed(why);
    return StaleFile::Refused;
  }
  return StaleFile::Removed;
}

bool renameWithoutReplacing(const char* from, const char* to, std::string* why) {
#if defined(__linux__) && defined(RENAME_NOREPLACE)
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return failed(why);
#endif
  // A second name that cannot exist twice, then the first one goes.
  if (link(from, to) == 0) {
    unlink(from);
    return true;
  }
  if (errno == EEXIST) return failed(why);
  // A file system without hard links: the last look is as close as it gets.
  struct stat st {};
  if (lstat(to, &st) == 0) {
    errno = EEXIST;
    return failed(why);
  }
  return std::rename(from, to) == 0 || failed(why);
}

bool syncFolderOf(const char* path) {
  const int fd = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = fsync(fd) == 0;
  ::close(fd);
  return synced;
}

}  // namespace platform

#endif  // !_WIN32
