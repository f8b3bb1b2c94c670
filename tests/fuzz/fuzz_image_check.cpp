// The appMain.mot check on any file contents.  The check reads a path, so
// each input is written to one scratch file of this process first.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "boot/image_check.h"

namespace {

class ScratchFile {
 public:
  ScratchFile() {
    const char* dir = std::getenv("TMPDIR");
    path_ = std::string(dir && *dir ? dir : "/tmp") + "/fuzz-image-XXXXXX";
    const int fd = mkstemp(&path_[0]);
    if (fd < 0) std::abort();
    close(fd);
  }
  ~ScratchFile() { unlink(path_.c_str()); }
  const char* write(const uint8_t* data, std::size_t size) {
    FILE* f = std::fopen(path_.c_str(), "wb");
    if (!f || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) std::abort();
    return path_.c_str();
  }

 private:
  std::string path_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static ScratchFile scratch;
  checkMicroImageFile(scratch.write(data, size));
  return 0;
}
