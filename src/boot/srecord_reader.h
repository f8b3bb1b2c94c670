// Reader of the microcontroller's application image appMain.mot, a text
// file of Motorola S-records.  Each call reads one whitespace-delimited
// record from the stream; only S3 records (32-bit address) are acted on,
// every other type is skipped.  Data are placed in file order, never by
// their record address:
//
//  - readline16 gathers the data of the first records into a 128-byte
//    block (the first 1024 data bytes of the image go to flash
//    0x000..0x3FF as eight such blocks);
//  - readblock appends the data of the records after those to the large
//    block until the terminating S3 record, whose address has 0xFFFF in its
//    upper half (the rest goes to flash from 0x800 upward).
//
// Both work on the same stream, so readblock goes on with the record after
// the last one readline16 took.  One reader serves one pass over one image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The caller's buffers: one 128-byte block plus a spare byte, and the large
// block of the second phase.  The reader never writes past these sizes.
constexpr std::size_t kBlockBufferSize = 129;
constexpr std::size_t kDataBlockSize = 262144;

// Longest record the reader takes (characters); a longer token is read in
// pieces, and the pieces after the first do not start with 'S'.
constexpr std::size_t kMaxRecordLength = 219;

class SRecordReader {
 public:
  // `stream` stays the caller's: the reader neither rewinds nor closes it.
  explicit SRecordReader(FILE* stream) : stream_(stream) {}

  // Reads one record into `block` (kBlockBufferSize bytes) at the block
  // position; when the block is complete the position returns to 0 and
  // blockComplete() turns true.  A token that does not start with 'S' (end
  // of file included) prints "Error...File .mot corrupted" and changes
  // nothing.
  void readline16(unsigned char* block);

  // Reads one record: appends an S3 record's data to `largeBlock`
  // (kDataBlockSize bytes) and adds their number to *length, or, for the
  // terminating record, stores nothing, returns the large-block position to
  // 0 and makes blockComplete() true.  Data past the end of the large block
  // are counted in *length but not stored: the caller refuses such a length.
  void readblock(unsigned char* largeBlock, uint32_t* length);

  // Set by either reader when the block it fills is complete; the caller
  // clears it before asking for the next block.
  bool blockComplete() const { return blockComplete_; }
  void clearBlockComplete() { blockComplete_ = false; }

  // Write positions of the two readers.
  uint32_t blockPosition() const { return blockPosition_; }
  uint32_t largeBlockPosition() const { return largeBlockPosition_; }

 private:
  bool readS3Record(unsigned char* bytes, std::size_t capacity);

  FILE* stream_;
  char record_[kMaxRecordLength + 1] = {};
  // A record converted to bytes: count, four address bytes, data, checksum.
  unsigned char blockRecord_[129] = {};
  unsigned char largeBlockRecord_[220] = {};
  uint32_t blockPosition_ = 0;
  uint32_t largeBlockPosition_ = 0;
  bool blockComplete_ = false;
};
