#include "link/trace_log.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/files.h"

namespace {

constexpr std::size_t kBytesPerLine = 32;

// A name for a descriptor the caller opened (--trace /dev/stderr with
// 2>>log.txt): whatever it leads to is the caller's, so it is neither read
// back nor emptied, only added to.
bool namesOpenDescriptor(const std::string& path) {
  for (const char* prefix : {"/dev/stdout", "/dev/stderr", "/dev/fd/", "/proc/self/fd/"})
    if (path.compare(0, std::strlen(prefix), prefix) == 0) return true;
  return false;
}

}  // namespace

// Only a regular file is read back: a pipe, a FIFO or a terminal (--trace
// /dev/stderr, --trace >(gzip > t.gz)) is written to as it is, and reading
// it would block or take the bytes meant for another.
bool TraceLog::mayReplace(const std::string& path, std::string* error) {
  if (namesOpenDescriptor(path)) return true;
  const platform::FileIdentity identity = platform::identifyFile(path.c_str());
  if (identity.kind == platform::FileIdentity::Kind::Directory) {
    *error = "it is a folder";
    return false;
  }
  if (!identity.regular()) return true;
  const ScopedFile existing(path.c_str(), "rb");
  if (!existing) return true;
  char head[64] = {};
  const std::size_t got = std::fread(head, 1, sizeof head - 1, existing.get());
  // A line begins with the time in ten columns and then "  # ".
  const char* text = got > 14 ? head + 14 : "";
  const char* signature = TraceLog::signature();
  if (got == 0 || std::strncmp(text, signature, std::strlen(signature)) == 0) return true;
  *error = "it exists and is not a trace, so it is left as it is";
  return false;
}

TraceLog::TraceLog() : start_(std::chrono::steady_clock::now()) {}

bool TraceLog::open(const std::string& path, std::string* error) {
  if (!mayReplace(path, error)) return false;
  // Binary: the lines end in "\n" on every system, as card-sim's do.
  file_ = ScopedFile(path.c_str(), namesOpenDescriptor(path) ? "ab" : "wb");
  if (!file_) {
    *error = std::strerror(errno);
    return false;
  }
  start_ = std::chrono::steady_clock::now();
  char started[64] = "at an unknown time";
  const std::time_t now = std::time(nullptr);
  if (const std::tm* local = std::localtime(&now))
    std::strftime(started, sizeof started, "%Y-%m-%d %H:%M:%S", local);
  note(std::string(signature()) + ", started " + started);
  return true;
}

double TraceLog::elapsedMs() const {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_)
      .count();
}

void TraceLog::bytes(bool fromUpdater, const void* data, std::size_t count, unsigned long baud) {
  if (!file_ || count == 0) return;
  const unsigned char* in = static_cast<const unsigned char*>(data);
  const double ms = elapsedMs();
  static const char kDigits[] = "0123456789ABCDEF";
  for (std::size_t offset = 0; offset < count; offset += kBytesPerLine) {
    char line[32 + 3 * kBytesPerLine + 24];
    int n = std::snprintf(line, sizeof line, "%10.3f %s", ms, fromUpdater ? "< " : " >");
    if (n < 0) return;
    for (std::size_t i = offset; i < count && i < offset + kBytesPerLine; ++i) {
      line[n++] = ' ';
      line[n++] = kDigits[in[i] >> 4];
      line[n++] = kDigits[in[i] & 0xF];
    }
    if (offset == 0 && baud != 0 && baud != 115200)
      n += std::snprintf(line + n, sizeof line - n, "   @%lu", baud);
    line[n++] = '\n';
    std::fwrite(line, 1, static_cast<std::size_t>(n), file_.get());
  }
  std::fflush(file_.get());
}

void TraceLog::note(const char* text) {
  if (!file_) return;
  std::fprintf(file_.get(), "%10.3f  # %s\n", elapsedMs(), text);
  std::fflush(file_.get());
}

std::string traceText(const char* label, const void* text, std::size_t length) {
  const unsigned char* in = static_cast<const unsigned char*>(text);
  if (length > 0 && in[length - 1] == '\r') --length;
  std::string out = label;
  out += ' ';
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char c = in[i];
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c >= 0x7F || c == '\\') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}
