#include "boot/srecord_reader.h"

#include <cstring>

#include "util/util.h"

int checkReadLine = 0;

namespace {

char ParsingLine[kMaxRecordLength + 1];
uint32_t kLine16 = 0;  // `k` of readline16
uint32_t kBlock = 0;   // `k` of readblock

// Sizes of the converted-record buffers of the two readers.
constexpr std::size_t kLine16HexSize = 129;
constexpr std::size_t kBlockHexSize = 220;

// Reads one token.  True when it is an S3 record, whose hex pairs from
// position 2 on are then converted into `hex` (at most `hexSize` bytes;
// a final single character is converted alone).
bool readS3Record(FILE* fd, unsigned char* hex, std::size_t hexSize) {
  ParsingLine[0] = '\0';
  if (std::fscanf(fd, "%219s", ParsingLine) != 1) ParsingLine[0] = '\0';
  if (ParsingLine[0] != 'S') {
    std::printf("Error...File .mot corrupted");
    return false;
  }
  if (ParsingLine[1] != '3') return false;
  const std::size_t length = std::strlen(ParsingLine);
  for (std::size_t i = 0; 2 * i + 2 < length && i < hexSize; ++i)
    strHexTolong(&hex[i], &ParsingLine[2 * i + 2]);
  return true;
}

}  // namespace

int readline16(FILE* fd, unsigned char* Data) {
  static unsigned char ParsingLineHex[kLine16HexSize];
  if (!readS3Record(fd, ParsingLineHex, sizeof ParsingLineHex)) return 0;
  const int nByte = ParsingLineHex[0];
  for (int i = 0; i < nByte - 5; ++i) {
    // A record that would run past the block (or past the converted
    // record) is cut there; the image check refuses such files.
    if (kLine16 >= kBlockBufferSize || 5 + static_cast<std::size_t>(i) >= sizeof ParsingLineHex)
      break;
    Data[kLine16] = ParsingLineHex[5 + i];
    ++kLine16;
  }
  if (kLine16 >= 128) {
    kLine16 = 0;
    checkReadLine = 1;
  }
  return 0;
}

int readblock(FILE* fd, unsigned char* DataBlock, uint32_t* BlockLength) {
  static unsigned char ParsingLineHex[kBlockHexSize];
  if (!readS3Record(fd, ParsingLineHex, sizeof ParsingLineHex)) return 0;
  const int nByte = ParsingLineHex[0];
  *BlockLength += static_cast<uint32_t>(nByte - 5);
  if (ParsingLineHex[1] == 0xFF && ParsingLineHex[2] == 0xFF) {
    // The terminating record ends the block; its data are not stored.
    *BlockLength -= static_cast<uint32_t>(nByte - 5);
    kBlock = 0;
    checkReadLine = 1;
    return 0;
  }
  for (int i = 0; i < nByte - 5; ++i) {
    // Past the end of the block the data are dropped, while *BlockLength
    // still counts them: the caller refuses a block longer than its buffer.
    if (kBlock >= kDataBlockSize || 5 + static_cast<std::size_t>(i) >= sizeof ParsingLineHex)
      break;
    DataBlock[kBlock] = ParsingLineHex[5 + i];
    ++kBlock;
  }
  return 0;
}

uint32_t readline16Position() { return kLine16; }
uint32_t readblockPosition() { return kBlock; }

void resetReaders() {
  kLine16 = 0;
  kBlock = 0;
  checkReadLine = 0;
}
