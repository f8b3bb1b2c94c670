// Mode READ: a flash device of the video processor read out into a file, a
// backup that VIPER writes back as it is.
//
// The read-out is VERIFY's: no driver is loaded and no micro command is
// sent; the device is read in read-back mode through the ISP service the
// processor offers, 32 bytes a block, each block taken only from a
// well-formed read answer.  The bytes go to "FILE.part" in the same folder,
// which becomes FILE only once the last block has arrived; on any failure
// it is removed, so that nothing that looks like a backup is left.
#include <cstdio>
#include <string>

#include "common/elapsed.h"
#include "common/scoped_file.h"
#include "isp/isp_transaction.h"
#include "jobs/flash_job.h"
#include "jobs/modes.h"
#include "link/serial_link.h"
#include "platform/win32.h"

namespace {

constexpr DWORD kDrainLimitMs = 5000;

// What a read without a byte count reads: device 1 is a 1 MiB serial flash;
// devices 5 and 7 hold the most a flash image may have.
DWORD deviceCapacity(int device) { return device == 1 ? 0x100000 : FlashImage::kMaxSize; }

Outcome failureEnd() {
  std::printf("Press a key to continue ... ");
  _getch();
  return Outcome::Failure;
}

bool fileExists(const char* path) {
  return ScopedFile(path, "rb").isOpen();
}

// The temporary file: removed when it goes out of scope unless it was
// renamed to its final name.
class PartFile {
 public:
  explicit PartFile(const std::string& finalName)
      : finalName_(finalName), path_(finalName + ".part") {
    file_ = ScopedFile(path_.c_str(), "wb");
  }
  ~PartFile() {
    file_.close();  // before the removal, which fails on an open file on Windows
    if (!renamed_) std::remove(path_.c_str());
  }
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;

  bool isOpen() const { return file_.isOpen(); }
  const std::string& path() const { return path_; }
  bool write(const unsigned char* bytes, std::size_t count) {
    return std::fwrite(bytes, 1, count, file_.get()) == count;
  }
  // Closes the file and gives it its final name; false after a message.
  bool commit() {
    const bool closed = file_.close();
    if (!closed) {
      std::printf("Unable to write file : %s\n", path_.c_str());
      return false;
    }
    // Never over a file that appeared while the device was read.
    if (fileExists(finalName_.c_str())) {
      std::printf("File %s already exists: READ does not overwrite a file.\n",
                  finalName_.c_str());
      return false;
    }
    if (std::rename(path_.c_str(), finalName_.c_str()) != 0) {
      std::printf("Unable to rename %s to %s\n", path_.c_str(), finalName_.c_str());
      return false;
    }
    renamed_ = true;
    return true;
  }

 private:
  std::string finalName_;
  std::string path_;
  ScopedFile file_;
  bool renamed_ = false;
};

}  // namespace

Outcome ProgramRead(SerialLink& link, int device, const char* fileName, unsigned long byteCount) {
  if (device != 1 && device != 5 && device != 7) {
    std::printf("Invalid device ID %d\n", device);
    return failureEnd();
  }
  if (byteCount > FlashImage::kMaxSize) {
    std::printf("Byte count %lu is more than a flash device holds (%d).\n", byteCount,
                static_cast<int>(FlashImage::kMaxSize));
    return failureEnd();
  }
  const DWORD size = byteCount != 0 ? static_cast<DWORD>(byteCount) : deviceCapacity(device);

  // The folder must take the file before the card is asked for anything.
  PartFile part(fileName);
  if (!part.isOpen()) {
    std::printf("Unable to create file : %s\n", part.path().c_str());
    return failureEnd();
  }
  std::printf("Reading device %d : %lu bytes into %s\n", device,
              static_cast<unsigned long>(size), fileName);

  drainIspInput(link, kDrainLimitMs);
  const DWORD begin = GetTickCount();

  unsigned progressLines = 0;
  bool written = true;
  const auto storeBlock = [&](DWORD addr, const uint16_t* words) {
    unsigned char bytes[kFlashBlock];
    for (int k = 0; k < kBlockWords; ++k) {  // file order: each word's low byte first
      bytes[2 * k] = static_cast<unsigned char>(words[k] & 0xFF);
      bytes[2 * k + 1] = static_cast<unsigned char>(words[k] >> 8);
    }
    const DWORD count = size - addr < kFlashBlock ? size - addr : kFlashBlock;
    if (!part.write(bytes, count)) {
      std::printf("\nUnable to write file : %s\n", part.path().c_str());
      written = false;
      return false;
    }
    if ((size / 5000) * progressLines < addr) {
      std::printf("%cJob at %0.2f %c", 13, static_cast<double>(addr) / size * 100, '%');
      ++progressLines;
    }
    return true;
  };
  const ReadOut result = readDevice(link, device, size, storeBlock);
  if (result != ReadOut::Done || !written) {
    std::printf("Nothing was saved: %s was not written.\n", fileName);
    // As in VERIFY, a card set to another device ends without the prompt.
    return result == ReadOut::DeviceNotSet ? Outcome::Failure : failureEnd();
  }
  std::printf("%cJob at 100%%\t\t\t\t\n", 13);
  if (!part.commit()) return failureEnd();
  printTime(begin, 1);
  std::printf("Saved %s : %lu bytes.\n", fileName, static_cast<unsigned long>(size));
  return Outcome::Success;
}
