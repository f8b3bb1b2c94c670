// Files by what they are rather than how they are spelled, and a new file
// that is whole or absent.
//
// A backup is written to a name of its own that is created new (never
// through a link left there), flushed to the disk, and only then renamed to
// its final name, which must not exist; the folder is synced after the
// rename so that the name survives a power cut.  Two spellings of one file
// ("b.bin", "./b.bin", a link to it) are found to be one before anything is
// written.
//
// POSIX: lstat/stat, open(O_CREAT | O_EXCL | O_NOFOLLOW), fsync, renameat2
// (RENAME_NOREPLACE) or link + unlink.  Windows: GetFileAttributesA,
// CreateFileA(CREATE_NEW), FlushFileBuffers, GetFileInformationByHandle,
// MoveFileExA without MOVEFILE_REPLACE_EXISTING.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// What a name stands for, its links followed.
struct FileIdentity {
  enum class Kind { Missing, Regular, Directory, Other };
  Kind kind = Kind::Missing;
  // The volume and the file's number on it (st_dev and st_ino; the volume
  // serial number and file index on Windows).  Set when it exists.
  uint64_t volume = 0;
  uint64_t index = 0;
  bool exists() const { return kind != Kind::Missing; }
  bool regular() const { return kind == Kind::Regular; }
  bool sameAs(const FileIdentity& other) const {
    return exists() && other.exists() && volume == other.volume && index == other.index;
  }
};

FileIdentity identifyFile(const char* path);

// True when `path` itself is a symbolic link (a reparse point on Windows),
// whether or not it leads anywhere.
bool isSymbolicLink(const char* path);

// The absolute path `path` leads to: its folder's links resolved, and a link
// at its end followed even when it leads to a file still to be made.  Two
// names of a file that does not exist yet are one file when these agree.
std::string resolvedPath(const char* path);

// A file created new for writing.  Closing it without flushToDisk() leaves
// what the system had written so far.
class NewFile {
 public:
  NewFile() = default;
  ~NewFile();
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  // Creates `path`, which must not exist: a file, a link (dangling or not)
  // or anything else there makes it fail.  False with `*why` set.
  bool create(const char* path, std::string* why);
  bool isOpen() const;
  bool write(const void* bytes, std::size_t count, std::string* why);
  // fsync / FlushFileBuffers: the bytes are on the disk when it returns true.
  bool flushToDisk(std::string* why);
  bool close(std::string* why);

 private:
#ifdef _WIN32
  void* handle_ = reinterpret_cast<void*>(static_cast<intptr_t>(-1));
#else
  int fd_ = -1;
#endif
};

enum class StaleFile { Absent, Removed, Refused };

// Removes a regular file an earlier run left at `path`.  A link, a folder or
// a device there is left alone and Refused, with `*why` set; so is a file
// that cannot be removed.
StaleFile removeStaleFile(const char* path, std::string* why);

// Renames `from` to `to`, which must not exist: never replaces a file, even
// one that appears at the last moment.  False with `*why` set.
bool renameWithoutReplacing(const char* from, const char* to, std::string* why);

// Makes the names in the folder that holds `path` durable (fsync of the
// folder; Windows journals its names, nothing to do there).
bool syncFolderOf(const char* path);

}  // namespace platform
