// Stages G and H of the boot-mode programmer: appMain.mot in 128-byte
// write blocks, the first KiB at 0x000 and the rest from 0x800.
#include "boot/boot_programmer.h"

#include <cstdio>
#include <vector>

#include "common/progress_line.h"
#include "common/ticks.h"

namespace fdt {

// Stage G: the first 1024 data bytes of the image as eight blocks at
// 0x000..0x380, then the main kernel's status.
Step BootProgrammer::stageImageFirstKiB() {
  std::printf("\n->WRITING .MOT FILE  TO FLASH MEMORY...\n");
  image_ = openUpdateFile(kMicroImageFile);
  if (!image_) return Step::kFailed;
  reader_ = std::make_unique<SRecordReader>(image_.get());
  unsigned char block[kBlockBufferSize];
  for (uint32_t address = 0; address < kFirstPhaseEnd; address += kBlockBytes) {
    const DWORD deadline = deadlineIn(kImageBlockMs);
    for (;;) {
      reader_->readline16(block);
      if (reader_->blockComplete()) break;
      if (deadlinePassed(deadline)) {
        std::printf("ErrorReading line");
        return Step::kFailed;
      }
    }
    reader_->clearBlockComplete();
    if (!writeBlock(address, block, kFirstPhase, nullptr)) return Step::kFailed;
  }

  Sleep(kCommandGapMs);
  if (!statusInquiry("\nError doesn't write20", "\nTime Out 8")) return Step::kFailed;
  // A wrong sum byte here is reported and passed over.
  if (answer_[4] != expectedStatusSum())
    std::printf("Error checking sum BINARY%02x ....%02x", answer_[4], expectedStatusSum());
  if (!statusIs(0x04)) {
    std::printf("\nError 4");
    return Step::kFailed;
  }
  return Step::kGoOn;
}

// Stage H: everything up to the terminating record, from 0x800 on.
Step BootProgrammer::stageImageRest() {
  std::vector<unsigned char> largeBlock(kDataBlockSize);
  ImageProgress progress;
  const DWORD deadline = deadlineIn(kImageBlockMs);
  for (;;) {
    reader_->readblock(largeBlock.data(), &progress.length);
    if (reader_->blockComplete()) break;
    if (deadlinePassed(deadline)) {
      std::printf("ErrorReading line");
      return Step::kFailed;
    }
  }
  reader_->clearBlockComplete();
  const uint32_t length = progress.length;
  if (length > kDataBlockSize) {
    std::printf("\nError...File .mot too large");
    return Step::kFailed;
  }
  // The last block is completed with erased-flash bytes.
  for (uint32_t f = length; f < kDataBlockSize && f % kBlockBytes != 0; ++f) largeBlock[f] = 0xFF;

  for (uint32_t offset = 0; offset < length; offset += kBlockBytes)
    if (!writeBlock(kSecondPhaseStart + offset, &largeBlock[offset], kSecondPhase, &progress))
      return Step::kFailed;
  printProgressComplete(link_.progressSink(), " %      ");
  std::printf("\n%cOK", 13);
  std::printf("\nEND...REBOOT THE DEVICE!\n");
  return Step::kGoOn;
}

}  // namespace fdt
