#include "boot/srecord_reader.h"

#include <cstring>

#include "util/util.h"

// Reads one token.  True when it is an S3 record, whose hex pairs from
// position 2 on are then converted into `bytes` (at most `capacity` of them;
// a final single character is converted alone).  The record's checksum is
// not looked at: the write block's sum byte and its acknowledgement guard
// the transfer, and the image check has refused bad records beforehand.
bool SRecordReader::readS3Record(unsigned char* bytes, std::size_t capacity) {
  record_[0] = '\0';
  if (std::fscanf(stream_, "%219s", record_) != 1) record_[0] = '\0';
  if (record_[0] != 'S') {
    std::printf("Error...File .mot corrupted");
    return false;
  }
  if (record_[1] != '3') return false;
  const std::size_t length = std::strlen(record_);
  for (std::size_t i = 0; 2 * i + 2 < length && i < capacity; ++i)
    strHexTolong(&bytes[i], &record_[2 * i + 2]);
  return true;
}

void SRecordReader::readline16(unsigned char* block) {
  if (!readS3Record(blockRecord_, sizeof blockRecord_)) return;
  const int count = blockRecord_[0];
  for (int i = 0; i < count - 5; ++i) {
    // A record that would run past the block (or past the converted
    // record) is cut there; the image check refuses such files.
    if (blockPosition_ >= kBlockBufferSize || 5 + static_cast<std::size_t>(i) >= sizeof blockRecord_)
      break;
    block[blockPosition_] = blockRecord_[5 + i];
    ++blockPosition_;
  }
  if (blockPosition_ >= 128) {
    blockPosition_ = 0;
    blockComplete_ = true;
  }
}

void SRecordReader::readblock(unsigned char* largeBlock, uint32_t* length) {
  if (!readS3Record(largeBlockRecord_, sizeof largeBlockRecord_)) return;
  const int count = largeBlockRecord_[0];
  if (largeBlockRecord_[1] == 0xFF && largeBlockRecord_[2] == 0xFF) {
    // The terminating record ends the block; its data are not stored and
    // add nothing to the length.
    largeBlockPosition_ = 0;
    blockComplete_ = true;
    return;
  }
  *length += static_cast<uint32_t>(count - 5);
  for (int i = 0; i < count - 5; ++i) {
    if (largeBlockPosition_ >= kDataBlockSize ||
        5 + static_cast<std::size_t>(i) >= sizeof largeBlockRecord_)
      break;
    largeBlock[largeBlockPosition_] = largeBlockRecord_[5 + i];
    ++largeBlockPosition_;
  }
}
