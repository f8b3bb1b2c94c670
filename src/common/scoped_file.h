// A file of the C runtime that closes itself when it leaves scope, on every
// path out of the code that opened it.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common/hint.h"

class ScopedFile {
 public:
  ScopedFile() = default;
  // fopen(`path`, `mode`); test with isOpen() (errno tells why it is not).
  ScopedFile(const char* path, const char* mode) : file_(std::fopen(path, mode)) {}
  // Takes over a stream opened elsewhere (nullptr: none).
  explicit ScopedFile(FILE* stream) : file_(stream) {}

  bool isOpen() const { return file_ != nullptr; }
  explicit operator bool() const { return isOpen(); }
  FILE* get() const { return file_.get(); }

  // Closes now; false when the stream's last writes did not reach the file
  // (or there was no stream).  A writer calls this to learn that its data
  // are safe; a reader can leave the closing to the destructor.
  bool close() {
    FILE* stream = file_.release();
    return stream != nullptr && std::fclose(stream) == 0;
  }

 private:
  struct Closer {
    void operator()(FILE* stream) const { std::fclose(stream); }
  };
  std::unique_ptr<FILE, Closer> file_;
};

// Opens an update file (a kernel, an image, a table, a script) for reading.
// When it cannot be opened, says so with the modes' own "/nFile load
// error\n" (a slash and an n at its start), with the reason as a hint, and
// returns no file.
inline ScopedFile openUpdateFile(const char* path) {
  errno = 0;
  ScopedFile file(path, "rb");
  if (!file) {
    const int openError = errno;
    std::printf("/nFile load error\n");
    printHint("%s cannot be opened: %s", path, std::strerror(openError));
  }
  return file;
}

