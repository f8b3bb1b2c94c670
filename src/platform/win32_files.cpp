// Windows side of files.h.
#ifdef _WIN32

#include "platform/files.h"

#include <cctype>

#include "platform/win32.h"

namespace platform {

namespace {

bool failed(std::string* why) {
  if (why != nullptr) *why = "error " + std::to_string(GetLastError());
  return false;
}

HANDLE asHandle(void* handle) { return static_cast<HANDLE>(handle); }

}  // namespace

FileIdentity identifyFile(const char* path) {
  FileIdentity identity;
  // Opening with no access and backup semantics reads the identity of a
  // file or folder without disturbing whoever has it open.
  HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    // A file opened by another program without sharing still exists.
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return identity;
    identity.kind = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? FileIdentity::Kind::Directory
                                                            : FileIdentity::Kind::Regular;
    return identity;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(file) != FILE_TYPE_DISK) {
    identity.kind = FileIdentity::Kind::Other;  // a console, a pipe, a device
  } else if (GetFileInformationByHandle(file, &info)) {
    identity.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                        ? FileIdentity::Kind::Directory
                        : FileIdentity::Kind::Regular;
    identity.volume = info.dwVolumeSerialNumber;
    identity.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  } else {
    identity.kind = FileIdentity::Kind::Other;
  }
  CloseHandle(file);
  return identity;
}

bool isSymbolicLink(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

std::string resolvedPath(const char* path) {
  char full[MAX_PATH * 4];
  const DWORD length = GetFullPathNameA(path, sizeof full, full, nullptr);
  std::string text = length > 0 && length < sizeof full ? std::string(full, length) : path;
  // Names differ in case only on a system that keeps them apart; NTFS and
  // FAT do not.
  for (char& c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c == '/') c = '\\';
  }
  return text;
}

NewFile::~NewFile() {
  if (isOpen()) CloseHandle(asHandle(handle_));
}

bool NewFile::create(const char* path, std::string* why) {
  // CREATE_NEW fails on any name already there, a link included.
  handle_ = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                        nullptr);
  return isOpen() || failed(why);
}

bool NewFile::isOpen() const { return asHandle(handle_) != INVALID_HANDLE_VALUE; }

bool NewFile::write(const void* bytes, std::size_t count, std::string* why) {
  const char* at = static_cast<const char*>(bytes);
  while (count > 0) {
    const DWORD piece = count > 0x10000 ? 0x10000 : static_cast<DWORD>(count);
    DWORD written = 0;
    if (!WriteFile(asHandle(handle_), at, piece, &written, nullptr)) return failed(why);
    if (written == 0) {
      if (why != nullptr) *why = "nothing was written";
      return false;
    }
    at += written;
    count -= written;
  }
  return true;
}

bool NewFile::flushToDisk(std::string* why) {
  return FlushFileBuffers(asHandle(handle_)) || failed(why);
}

bool NewFile::close(std::string* why) {
  HANDLE handle = asHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
  return CloseHandle(handle) || failed(why);
}

StaleFile removeStaleFile(const char* path, std::string* why) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return StaleFile::Absent;
    failed(why);
    return StaleFile::Refused;
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    *why = "it is a symbolic link";
    return StaleFile::Refused;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    *why = "it is not a regular file";
    return StaleFile::Refused;
  }
  if (!DeleteFileA(path)) {
    failed(why);
    return StaleFile::Refused;
  }
  return StaleFile::Removed;
}

bool renameWithoutReplacing(const char* from, const char* to, std::string* why) {
  // Without MOVEFILE_REPLACE_EXISTING the move fails when `to` exists.
  return MoveFileExA(from, to, MOVEFILE_WRITE_THROUGH) || failed(why);
}

bool syncFolderOf(const char*) { return true; }

}  // namespace platform

#endif  // _WIN32
