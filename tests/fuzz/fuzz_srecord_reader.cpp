// The S-record reader object on any text, read the way the flash write
// reads appMain.mot: eight 128-byte blocks with readline16, then the large
// block with readblock up to the terminating record.
//  - neither reader writes past its caller's buffer (both are allocated at
//    their exact sizes) and the block positions stay inside them;
//  - an image that the image check accepts is read whole: eight complete
//    blocks, a terminating record, and a length that is exactly the bytes
//    stored, so the flash gets every data byte and nothing else.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "boot/image_check.h"
#include "boot/srecord_reader.h"

namespace {

// One scratch file per process for the image check, which takes a path.
const std::string& scratchPath() {
  static const std::string path = [] {
    const char* dir = std::getenv("TMPDIR");
    std::string p = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") +
                    "/fuzz_srecord_" + std::to_string(getpid()) + ".mot";
    std::atexit([] { std::remove(scratchPath().c_str()); });
    return p;
  }();
  return path;
}

bool imageAccepted(const uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen(scratchPath().c_str(), "wb");
  if (f == nullptr) return false;
  const bool written = std::fwrite(data, 1, size, f) == size;
  if (std::fclose(f) != 0 || !written) return false;
  return checkMicroImageFile(scratchPath().c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0 || size > 65536) return 0;
  const bool accepted = imageAccepted(data, size);

  std::vector<uint8_t> text(data, data + size);
  std::FILE* stream = fmemopen(text.data(), text.size(), "r");
  if (stream == nullptr) return 0;
  SRecordReader reader(stream);
  auto block = std::make_unique<unsigned char[]>(kBlockBufferSize);
  static unsigned char* const largeBlock = new unsigned char[kDataBlockSize];

  int blocks = 0;
  for (; blocks < 8; ++blocks) {
    bool ended = false;
    do {
      ended = std::feof(stream) != 0;
      reader.readline16(block.get());
      if (reader.blockPosition() >= 128) __builtin_trap();
    } while (!reader.blockComplete() && !ended);
    if (!reader.blockComplete()) break;
    reader.clearBlockComplete();
  }

  uint32_t length = 0;
  uint32_t stored = 0;
  bool terminated = false;
  if (blocks == 8) {
    bool ended = false;
    do {
      ended = std::feof(stream) != 0;
      reader.readblock(largeBlock, &length);
      if (reader.largeBlockPosition() > kDataBlockSize) __builtin_trap();
      if (!reader.blockComplete()) stored = reader.largeBlockPosition();
    } while (!reader.blockComplete() && !ended);
    terminated = reader.blockComplete();
    if (terminated && reader.largeBlockPosition() != 0) __builtin_trap();
  }
  std::fclose(stream);

  if (accepted && (blocks != 8 || !terminated || length > kDataBlockSize || length != stored))
    __builtin_trap();
  return 0;
}
