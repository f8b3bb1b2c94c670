// Mode READ: a flash device of the video processor read out into a file, a
// backup that VIPER writes back as it is.
//
// The read-out is VERIFY's: no driver is loaded and no micro command is
// sent; the device is read in read-back mode through the ISP service the
// processor offers, 32 bytes a block, each block taken only from a
// well-formed read answer.  The bytes go to "FILE.part" in the same folder,
// created new (a link left there is refused, never followed), which becomes
// FILE only once the last block has arrived and is on the disk; the rename
// never replaces a file.  On any failure it is removed, so that nothing that
// looks like a backup is left: a backup is whole or absent.
#include <cstdio>
#include <string>

#include "common/elapsed.h"
#include "common/printable.h"
#include "common/progress_line.h"
#include "isp/isp_transaction.h"
#include "jobs/flash_job.h"
#include "jobs/modes.h"
#include "link/serial_link.h"
#include "platform/files.h"
#include "platform/win32.h"

namespace {

constexpr DWORD kDrainLimitMs = 5000;

Outcome failureEnd() {
  std::printf("Press a key to continue ... ");
  _getch();
  return Outcome::Failure;
}

// The temporary file: removed when it goes out of scope unless it was
// renamed to its final name.
class PartFile {
 public:
  explicit PartFile(const std::string& finalName)
      : finalName_(finalName), path_(finalName + ".part") {}
  ~PartFile() {
    if (!created_ || renamed_) return;
    std::string ignored;
    if (file_.isOpen()) file_.close(&ignored);
    std::remove(path_.c_str());
  }
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;

  // Removes what an interrupted run left under the name (a regular file
  // only) and creates the file new; false after a message.
  bool create() {
    std::string why;
    if (platform::removeStaleFile(path_.c_str(), &why) == platform::StaleFile::Refused) {
      std::printf("Unable to create file : %s (%s)\n", printable(path_).c_str(), why.c_str());
      return false;
    }
    if (!file_.create(path_.c_str(), &why)) {
      std::printf("Unable to create file : %s (%s)\n", printable(path_).c_str(), why.c_str());
      return false;
    }
    created_ = true;
    return true;
  }
  const std::string& path() const { return path_; }
  bool write(const unsigned char* bytes, std::size_t count) {
    std::string why;
    return file_.write(bytes, count, &why);
  }
  // Puts the file on the disk and gives it its final name; false after a
  // message.
  bool commit() {
    std::string why;
    if (!file_.flushToDisk(&why) || !file_.close(&why)) {
      std::printf("Unable to write file : %s (%s)\n", printable(path_).c_str(), why.c_str());
      return false;
    }
    // Never over a file that appeared while the device was read.
    if (!platform::renameWithoutReplacing(path_.c_str(), finalName_.c_str(), &why)) {
      if (platform::identifyFile(finalName_.c_str()).exists() ||
          platform::isSymbolicLink(finalName_.c_str()))
        std::printf("File %s already exists: READ does not overwrite a file.\n",
                    printable(finalName_).c_str());
      else
        std::printf("Unable to rename %s to %s\n", printable(path_).c_str(),
                    printable(finalName_).c_str());
      return false;
    }
    renamed_ = true;
    // The new name must survive a power cut as the bytes do.
    platform::syncFolderOf(finalName_.c_str());
    return true;
  }

 private:
  std::string finalName_;
  std::string path_;
  platform::NewFile file_;
  bool created_ = false;
  bool renamed_ = false;
};

}  // namespace

Outcome ProgramRead(SerialLink& link, int device, const char* fileName, unsigned long byteCount,
                    FileDigest* saved) {
  if (device != 1 && device != 5 && device != 7) {
    std::printf("Invalid device ID %d\n", device);
    return failureEnd();
  }
  if (byteCount > flashDeviceSize(device)) {
    std::printf("Byte count %lu is more than flash device %d holds (%lu).\n", byteCount, device,
                static_cast<unsigned long>(flashDeviceSize(device)));
    return failureEnd();
  }
  const DWORD size = byteCount != 0 ? static_cast<DWORD>(byteCount) : flashDeviceSize(device);

  // The folder must take the file before the card is asked for anything.
  PartFile part(fileName);
  if (!part.create()) return failureEnd();
  const std::string shownName = printable(fileName);
  std::printf("Reading device %d : %lu bytes into %s\n", device,
              static_cast<unsigned long>(size), shownName.c_str());

  drainIspInput(link, kDrainLimitMs);
  const DWORD begin = GetTickCount();

  ProgressPace pace;
  bool written = true;
  Sha256 digest;
  const auto storeBlock = [&](DWORD addr, const uint16_t* words) {
    unsigned char bytes[kFlashBlock];
    for (int k = 0; k < kBlockWords; ++k) {  // file order: each word's low byte first
      bytes[2 * k] = static_cast<unsigned char>(words[k] & 0xFF);
      bytes[2 * k + 1] = static_cast<unsigned char>(words[k] >> 8);
    }
    const DWORD count = size - addr < kFlashBlock ? size - addr : kFlashBlock;
    digest.update(bytes, count);
    if (!part.write(bytes, count)) {
      std::printf("\nUnable to write file : %s\n", printable(part.path()).c_str());
      written = false;
      return false;
    }
    if (pace.due(addr, size))
      printProgress(link.progressSink(), static_cast<double>(addr) / size * 100);
    return true;
  };
  const ReadOut result = readDevice(link, device, size, storeBlock);
  if (result != ReadOut::Done || !written) {
    std::printf("Nothing was saved: %s was not written.\n", shownName.c_str());
    // As in VERIFY, a card set to another device ends without the prompt.
    return result == ReadOut::DeviceNotSet ? Outcome::Failure : failureEnd();
  }
  printProgressComplete(link.progressSink(), "%\t\t\t\t\n");
  if (!part.commit()) return failureEnd();
  if (saved != nullptr) {
    saved->known = true;
    saved->size = size;
    saved->sha256 = digest.finishHex();
  }
  printTime(begin, 1);
  std::printf("Saved %s : %lu bytes.\n", shownName.c_str(), static_cast<unsigned long>(size));
  return Outcome::Success;
}
