// The child's end of the report channel, past its opening (which is the
// system's: posix_process.cpp, win32_process.cpp).
#include <cstdio>

#include "platform/child_process.h"

namespace platform {

ReportChannel::~ReportChannel() {
  if (file_ != nullptr) std::fclose(file_);
}

void ReportChannel::writeLine(const std::string& line) {
  if (file_ == nullptr) return;
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fputc('\n', file_);
  std::fflush(file_);
}

}  // namespace platform
