// What the flash loader, the flash verify and the read-out share: the image
// file held in memory and the checks on its size, the ISP mode requests,
// the walk over a device in 32-byte blocks that re-enters ISP mode when the
// video processor refuses a block, and the read of one block.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "isp/isp_message.h"
#include "isp/isp_transaction.h"
#include "platform/win32.h"

class SerialLink;
struct JobFindings;

// What each flash device of the video processor holds: device 1 is a 1 MiB
// serial flash, devices 5 and 7 hold 2 MiB.  A device number outside these
// gets the largest.
constexpr DWORD kLargestFlashDevice = 0x200000;
constexpr DWORD flashDeviceSize(int device) {
  return device == 1 ? 0x100000 : kLargestFlashDevice;
}

// An image file read into memory once: the file offset of a byte is its
// address in the target.
class FlashImage {
 public:
  // The most a flash device takes.
  static constexpr DWORD kMaxSize = kLargestFlashDevice;

  // Reserves the buffer and reads up to kMaxSize bytes of `path`, printing
  // "File Size : %d bytes\n"; on failure prints why and returns false.
  bool load(const char* path);

  DWORD size() const { return size_; }
  // The file holds more than kMaxSize bytes (only kMaxSize were read).
  bool tooLong() const { return tooLong_; }
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
  bool tooLong_ = false;
};

constexpr DWORD kFlashBlock = 32;
constexpr int kBlockWords = 16;
// An ISP driver goes to 0x800 .. 0x1FFF of the processor's memory.
constexpr DWORD kDriverBase = 0x800;
constexpr DWORD kDriverEnd = 0x2000;
// Devices 5 and 7 keep a 256-byte header at 0, written after the data.
constexpr DWORD kHeaderSize = 0x100;
// A block that fails once more after this many new attempts ends the job.
constexpr int kMaxBlockRetries = 6;

// Whether an image of `size` bytes (`tooLong`: more than kMaxSize) can go to
// `device` at all (0: an ISP driver).  Refused: a driver with bytes past its
// window, an image longer than a flash device holds, an image for device 5
// or 7 without its whole header.  Prints the reason when refused.
bool imageFitsDevice(const char* path, DWORD size, bool tooLong, int device);
// The same check on a file that is not loaded yet, so that VIPER and ALL
// refuse a bad image before its driver goes in.  A file that cannot be
// opened passes: loading it reports that.
bool imageFileFitsDevice(const char* path, int device);

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

// One pass over the blocks of [begin, end).
struct BlockPhase {
  int device = 0;
  uint16_t operation = kIspProgram;  // how ISP mode is re-entered
  DWORD begin = 0;
  DWORD end = 0;
  // New attempts allowed for one block (re-entries of ISP mode and plain
  // repeats together); one more failure ends the job.
  int maxRetries = kMaxBlockRetries;
  bool dumpStatus = false;   // print the status request and its answer
  bool showAddress = false;  // print the refused block's address
};

// Sends every block with `sendBlock`.  A refused block is followed by the
// ISP mode status request ("ISP Mode Status Request ...\n") and a new ISP
// mode request for the rest of the phase ("Setting ISP Mode...\n"), then
// goes again.  `accepted` runs after each accepted block; false from it ends
// the pass.  True when every block was accepted; false when a request
// failed or a block ran out of attempts (the block is named), after the
// messages of the step that failed.
bool sendBlocks(SerialLink& link, const BlockPhase& phase,
                const std::function<BlockResult(DWORD addr)>& sendBlock,
                const std::function<bool(DWORD addr)>& accepted);

// One flash read request: the 32 bytes at the processor's read pointer
// (the block at `addr`) into `words`.  Only a well-formed read answer
// counts: id 0x73A, 16 data words, its length and checksum right.  Refused
// for no answer, a refusal or a malformed answer (the pointer may have moved
// on: ISP mode is re-entered at the block); Again after an answer with
// another id, once the status request went through; Failed when it did not.
BlockResult readFlashBlock(SerialLink& link, DWORD addr, uint16_t* words);

enum class ReadOut { Done, Failed, DeviceNotSet };

// Reads [0, size) of `device` in read-back mode: the ISP mode request, the
// device check, then every block through readFlashBlock, bounded per block.
// `block` gets each block's address and 16 words; false from it ends the
// read.  Prints the steps as VERIFY does; the caller prints the ending.
ReadOut readDevice(SerialLink& link, int device, DWORD size,
                   const std::function<bool(DWORD addr, const uint16_t* words)>& block);

// The hint a Ctrl-C prints while a flash device is being written.
std::string interruptedWriteHint(int device);

// --verify: reads the device just written back through VERIFY and compares
// it with `fileName`.  False (after the messages and the key prompt) when
// the read failed or any word differs.
// The first differing words are named on the console; `findings`, when
// given, learns them and that "verify" was the step that failed.
bool verifyWrittenDevice(SerialLink& link, const char* fileName, int device,
                         JobFindings* findings = nullptr);
