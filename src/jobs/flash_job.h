// What the flash loader and the flash verify share: the image file held in
// memory, the ISP mode requests, and the walk over an image in 32-byte
// blocks that re-enters ISP mode when the video processor refuses a block.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "isp/isp_message.h"
#include "isp/isp_transaction.h"
#include "platform/win32.h"

class SerialLink;

// An image file read into memory once: the file offset of a byte is its
// address in the target.
class FlashImage {
 public:
  // The most a flash device takes; a longer file is cut here.
  static constexpr DWORD kMaxSize = 0x200000;

  // Reserves the buffer and reads up to kMaxSize bytes of `path`, printing
  // "File Size : %d bytes\n"; on failure prints why and returns false.
  bool load(const char* path);

  DWORD size() const { return size_; }
  // The file held more than kMaxSize bytes.
  bool cutShort() const { return cutShort_; }
  // The byte at `at`; past the end of the file the value of erased flash
  // (0xFF), so that a last block goes out whole.
  unsigned char byte(DWORD at) const { return at < size_ ? bytes_[at] : 0xFF; }
  // The 16-bit word at `at` as it travels in a request: byte `at` low.
  uint16_t word(DWORD at) const {
    return static_cast<uint16_t>(byte(at) | (byte(at + 1) << 8));
  }

 private:
  std::unique_ptr<unsigned char[]> bytes_;
  DWORD size_ = 0;
  bool cutShort_ = false;
};

constexpr DWORD kFlashBlock = 32;

// The ISP mode request: `operation` kIspProgram or kIspReadBack on
// `device`, for `count` bytes from `start`.
IspResult sendIspMode(SerialLink& link, uint16_t operation, int device, DWORD start,
                      DWORD count, DWORD wait);
// The ISP mode status request, built in `msg`; the answer's word 1 low byte
// is the device ISP mode is set to.  Both arrays hold kIspMaxWords.
IspResult sendModeStatus(SerialLink& link, uint16_t* msg, uint16_t* response);

// How one block went.
enum class BlockResult {
  Accepted,  // done: on to the next block
  Refused,   // re-enter ISP mode from this block and send it again
  Again,     // send it again as it is (the sender has dealt with the answer)
  Failed,    // the job ends
};

constexpr int kUnlimitedReentries = -1;

// One pass over the blocks of [begin, end).
struct BlockPhase {
  int device = 0;
  uint16_t operation = kIspProgram;  // how ISP mode is re-entered
  DWORD begin = 0;
  DWORD end = 0;
  // Re-entries of ISP mode allowed for one block; one more refusal ends the
  // job.  kUnlimitedReentries: as often as the processor asks.
  int maxReentries = kUnlimitedReentries;
  bool dumpStatus = false;   // print the status request and its answer
  bool showAddress = false;  // print the refused block's address
};

// Sends every block with `sendBlock`.  A refused block is followed by the
// ISP mode status request ("ISP Mode Status Request ...\n") and a new ISP
// mode request for the rest of the phase ("Setting ISP Mode...\n"), then
// goes again.  `accepted` runs after each accepted block.  True when every
// block was accepted; false when a request failed or a block ran out of
// re-entries, after the messages of the step that failed.
bool sendBlocks(SerialLink& link, const BlockPhase& phase,
                const std::function<BlockResult(DWORD addr)>& sendBlock,
                const std::function<void(DWORD addr)>& accepted);
