// The S-record readers of appMain.mot: records into the 128-byte block and
// the large block, other record types skipped, buffers never overrun.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "boot/boot_mode.h"
#include "boot/srecord_reader.h"
#include "support/scratch_dir.h"
#include "unit/srecords.h"

namespace {

// A stream holding `text`, rewound, and a reader on it.
struct Stream {
  explicit Stream(const std::string& text) : f(std::tmpfile()), reader(f) {
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
  }
  ~Stream() { std::fclose(f); }
  FILE* f;
  SRecordReader reader;
};

TEST(Readers, WorkedExampleAddsSixteenBytesAndSkipsOtherTypes) {
  Stream s(srec::record('0', 2, 0, {'h', 'd', 'r'}) + "\n" + srec::record('1', 2, 0x100, {1, 2}) +
           "\n" + srec::record('2', 3, 0x100, {1, 2}) + " " + srec::record('5', 2, 3, {}) + "\n" +
           "S31500000800000102030405060708090A0B0C0D0E0F6A\n" + srec::record('7', 4, 0, {}) +
           "\n" + srec::record('8', 3, 0, {}) + "\n" + srec::record('9', 2, 0, {}) + "\n");
  unsigned char data[kBlockBufferSize];
  std::memset(data, 0xEE, sizeof data);
  for (int i = 0; i < 4; ++i) s.reader.readline16(data);  // header, S1, S2, S5: no effect
  EXPECT_EQ(s.reader.blockPosition(), 0u);
  EXPECT_EQ(data[0], 0xEE);
  s.reader.readline16(data);
  EXPECT_EQ(s.reader.blockPosition(), 16u);
  EXPECT_FALSE(s.reader.blockComplete());
  for (int i = 0; i < 16; ++i) EXPECT_EQ(data[i], i);
  EXPECT_EQ(data[16], 0xEE);
  for (int i = 0; i < 3; ++i) s.reader.readline16(data);  // S7, S8, S9
  EXPECT_EQ(s.reader.blockPosition(), 16u);
}

TEST(Readers, SixteenAndThirtyTwoByteRecordsFillABlockExactly) {
  for (std::size_t size : {16u, 32u}) {
    std::string text;
    for (unsigned r = 0; r < 2 * 128 / size; ++r)
      text += srec::s3(r * static_cast<uint32_t>(size), srec::ramp(size, r * size)) + "\n";
    Stream s(text);
    unsigned char data[kBlockBufferSize] = {};
    const unsigned perBlock = static_cast<unsigned>(128 / size);
    for (unsigned r = 1; r < perBlock; ++r) {
      s.reader.readline16(data);
      EXPECT_FALSE(s.reader.blockComplete()) << size;
    }
    s.reader.readline16(data);
    EXPECT_TRUE(s.reader.blockComplete()) << size;
    EXPECT_EQ(s.reader.blockPosition(), 0u);
    for (int i = 0; i < 128; ++i) ASSERT_EQ(data[i], i) << size;
    // The caller clears the flag; the next block starts at 0 again.
    s.reader.clearBlockComplete();
    for (unsigned r = 0; r < perBlock; ++r) s.reader.readline16(data);
    EXPECT_TRUE(s.reader.blockComplete());
    EXPECT_EQ(data[0], 128);
    EXPECT_EQ(data[127], 255);
  }
}

TEST(Readers, BlockClosesGapsAndEndsAtTheTerminatingRecord) {
  // The large block goes on with the record after the first block.
  std::string firstBlock;
  for (uint32_t a = 0; a < 128; a += 32) firstBlock += srec::s3(a, srec::ramp(32, 0xC0)) + "\n";
  Stream s(firstBlock + srec::s3(0x800, srec::ramp(16, 0)) + "\n" +
           srec::s3(0x810, srec::ramp(16, 16)) + "\n" + srec::record('5', 2, 2, {}) + "\n" +
           srec::s3(0x900, srec::ramp(16, 32)) + "\n" + srec::s3(0xFFFF8000u, {0xAB, 0xCD}) + "\n" +
           srec::s3(0xA00, {0x77}) + "\n");
  unsigned char data[kBlockBufferSize] = {};
  for (int i = 0; i < 4; ++i) s.reader.readline16(data);
  ASSERT_TRUE(s.reader.blockComplete());
  s.reader.clearBlockComplete();
  std::vector<unsigned char> block(kDataBlockSize, 0xEE);
  uint32_t length = 0;
  for (int i = 0; i < 4; ++i) {
    s.reader.readblock(block.data(), &length);
    EXPECT_FALSE(s.reader.blockComplete());
  }
  EXPECT_EQ(length, 48u);
  EXPECT_EQ(s.reader.largeBlockPosition(), 48u);
  s.reader.readblock(block.data(), &length);
  EXPECT_TRUE(s.reader.blockComplete());
  EXPECT_EQ(length, 48u);  // the terminating record adds nothing
  EXPECT_EQ(s.reader.largeBlockPosition(), 0u);
  for (int i = 0; i < 48; ++i) ASSERT_EQ(block[i], i);  // 0x900 follows 0x810 directly
  EXPECT_EQ(block[48], 0xEE);                            // its data are not stored
}

TEST(Readers, EndOfFileAndForeignTokensReportAndChangeNothing) {
  Stream s(srec::s3(0, srec::ramp(16)) + "\nX31500\n");
  unsigned char data[kBlockBufferSize] = {};
  std::vector<unsigned char> block(kDataBlockSize, 0);
  uint32_t length = 0;
  testing::internal::CaptureStdout();
  s.reader.readline16(data);
  s.reader.readline16(data);  // "X3..."
  s.reader.readline16(data);  // end of file
  s.reader.readblock(block.data(), &length);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Error...File .mot corrupted"
            "Error...File .mot corrupted"
            "Error...File .mot corrupted");
  EXPECT_EQ(s.reader.blockPosition(), 16u);
  EXPECT_EQ(s.reader.largeBlockPosition(), 0u);
  EXPECT_EQ(length, 0u);
  EXPECT_FALSE(s.reader.blockComplete());
}

TEST(Readers, NeverWritePastTheirBuffers) {
  // Records that straddle the 128-byte block, a byte count larger than
  // the record, and a token longer than the record buffer.
  std::string text;
  for (int r = 0; r < 3; ++r) text += srec::s3(r * 48, srec::ramp(48, 48 * r)) + "\n";
  text += "S3FF00000000" + std::string(20, '1') + "\n";
  text += "S3" + std::string(400, 'F') + "\n";
  Stream s(text);
  unsigned char data[kBlockBufferSize + 64];
  std::memset(data, 0xEE, sizeof data);
  testing::internal::CaptureStdout();
  for (int i = 0; i < 7; ++i) s.reader.readline16(data);
  testing::internal::GetCapturedStdout();
  for (std::size_t i = kBlockBufferSize; i < sizeof data; ++i) ASSERT_EQ(data[i], 0xEE) << i;

  // A second block longer than its buffer: counted, not stored past it.
  std::string big;
  const std::size_t records = kDataBlockSize / 64 + 2;
  for (std::size_t r = 0; r < records; ++r)
    big += srec::s3(static_cast<uint32_t>(0x800 + 64 * r), srec::ramp(64, static_cast<unsigned>(r))) + "\n";
  big += srec::s3(0xFFFF0000u, {}) + "\n";
  Stream b(big);
  std::vector<unsigned char> block(kDataBlockSize + 256, 0xEE);
  uint32_t length = 0;
  while (!b.reader.blockComplete()) b.reader.readblock(block.data(), &length);
  EXPECT_EQ(length, records * 64);
  for (std::size_t i = kDataBlockSize; i < block.size(); ++i) ASSERT_EQ(block[i], 0xEE) << i;
}

}  // namespace
