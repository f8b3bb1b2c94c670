#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "boot/boot_mode.h"
#include "boot/image_check.h"
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

TEST(WriteBlockSum, CompletesCommandAddressAndDataToZero) {
  std::vector<unsigned char> ff(128, 0xFF), zero(128, 0x00);
  EXPECT_EQ(writeBlockSum(0x800, ff.data()), 0x28);
  EXPECT_EQ(writeBlockSum(0x000, zero.data()), 0xB0);
  std::vector<unsigned char> ramp = srec::ramp(128);
  unsigned sum = 0x50 + 0x00 + 0x01 + 0x23 + 0x80;
  for (unsigned char b : ramp) sum += b;
  EXPECT_EQ((sum + writeBlockSum(0x00012380, ramp.data())) & 0xFF, 0u);
}

TEST(KernelSum, AddsTheKernelsConstantInPlaceOfTheLength) {
  const unsigned char sums8B[2] = {0x80, 0x0B};
  EXPECT_EQ(kernelSum(sums8B, 2, kMainKernelConstant), 0x00);
  EXPECT_EQ(kernelSum(sums8B, 0, kMainKernelConstant), 0x8B);
  EXPECT_EQ(kernelSum(sums8B, 0, kWriteKernelConstant), 0x66);
}

// ---- the image check before anything goes to the card ----

class ImageCheckTest : public testing::Test {
 protected:
  // Runs the check on `lines`; returns its output ("" when accepted).
  std::string check(const std::vector<std::string>& lines, bool* accepted = nullptr) {
    const std::string path = scratch_.write("image.mot", srec::join(lines));
    testing::internal::CaptureStdout();
    bool ok = checkMicroImageFile(path.c_str());
    std::string out = testing::internal::GetCapturedStdout();
    if (accepted) *accepted = ok;
    EXPECT_EQ(ok, out.empty()) << out;
    return out;
  }

  testsupport::ScratchDir scratch_;
  std::vector<std::string> good = srec::image(srec::ramp(1024), srec::ramp(200, 7));
  // Line numbers of `good`: 1 header, 2..65 first part, 66..78 second part,
  // 79 terminating record, 80 end record.
};

TEST_F(ImageCheckTest, AcceptsWellPlacedImages) {
  bool ok = false;
  EXPECT_EQ(check(good, &ok), "");
  EXPECT_TRUE(ok);
  EXPECT_EQ(check(srec::image(srec::ramp(1024), srec::ramp(4096), 32), &ok), "");
  EXPECT_TRUE(ok);
  EXPECT_EQ(check(srec::image(srec::ramp(1024), {}), &ok), "");  // nothing after 0x3FF
  EXPECT_TRUE(ok);
  // Several records on a line, blank lines and CR LF line ends.
  std::vector<std::string> crlf;
  for (std::size_t i = 0; i + 1 < good.size(); i += 2) crlf.push_back(good[i] + " " + good[i + 1] + "\r\n");
  crlf.push_back(good.back());
  EXPECT_EQ(check(crlf, &ok), "");
  EXPECT_TRUE(ok);
}

TEST_F(ImageCheckTest, RefusesBrokenRecordsNamingTheLine) {
  struct Case {
    int line;  // 1-based line to break
    std::string record;
    const char* problem;
  };
  std::string lower = good[4];
  lower[lower.size() - 3] = 'a';  // a data digit in lower case
  std::string upperAOrG = good[4];
  upperAOrG[12] = 'G';
  std::string badSum = good[70];
  badSum[badSum.size() - 1] = badSum[badSum.size() - 1] == '0' ? '1' : '0';
  const Case cases[] = {
      {3, "X" + good[2].substr(1), "line 3: the record does not start with S"},
      {5, lower, "line 5: character 'a' at column"},
      {5, upperAOrG, "line 5: character 'G' at column 13"},
      {2, "S3" + std::string(218, 'F'), "line 2: the record is longer than 219 characters"},
      {2, srec::record('3', 3, 0, {}), "line 2: the byte count 0x04 is below 5"},
      {71, badSum, "line 71: wrong checksum"},
      {6, good[5].substr(0, good[5].size() - 2), "line 6: the byte count 0x15 does not match"},
      {6, good[5] + "0", "line 6: the record does not hold whole bytes"},
      {7, srec::record('1', 2, 0x60, {1, 2, 3}), "line 7: an S1 data record"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> lines = good;
    lines[c.line - 1] = c.record;
    bool ok = true;
    std::string out = check(lines, &ok);
    EXPECT_FALSE(ok) << c.problem;
    EXPECT_NE(out.find(std::string("Bad appMain.mot file, ") + c.problem), std::string::npos)
        << "expected " << c.problem << "\n got " << out;
  }
}

TEST_F(ImageCheckTest, RefusesDataTheFlashWriteWouldPutElsewhere) {
  auto refused = [&](std::vector<std::string> lines, const std::string& expected) {
    bool ok = true;
    std::string out = check(lines, &ok);
    EXPECT_FALSE(ok) << expected;
    EXPECT_NE(out.find(expected), std::string::npos) << "expected " << expected << "\n got " << out;
  };
  // Records of 48 bytes straddle the 128-byte blocks of the first part.
  refused(srec::image(srec::ramp(1024), srec::ramp(96), 48),
          "line 4: a record of 48 data bytes from 0x00000060 straddles a 128-byte write block");
  // A gap in the first part.
  std::vector<std::string> gap = good;
  gap[10] = srec::s3(0x98, srec::ramp(16));
  refused(gap, "line 11: data at 0x00000098, expected at 0x00000090");
  // The second part at 0x400 instead of 0x800.
  std::vector<std::string> at400 = good;
  at400[65] = srec::s3(0x400, srec::ramp(16));
  refused(at400, "line 66: data at 0x00000400, expected at 0x00000800");
  // A gap in the second part.
  std::vector<std::string> gap2 = good;
  gap2[70] = srec::s3(0x900, srec::ramp(16));
  refused(gap2, "line 71: data at 0x00000900, expected at 0x00000850");
  // No terminating record.
  std::vector<std::string> open = good;
  open.erase(open.begin() + 78);
  refused(open, "line 79: no terminating S3 record");
  // The file ends in the first part; a terminating record inside it.
  std::vector<std::string> shortImage(good.begin(), good.begin() + 40);
  refused(shortImage, "line 40: the file ends after 624 of the first 1024 data bytes");
  std::vector<std::string> early = good;
  early[20] = srec::s3(0xFFFF0000u, {});
  refused(early, "line 21: terminating record after only 304 of the first 1024 data bytes");
  // Data after the terminating record would never be written.
  std::vector<std::string> after = good;
  after.push_back(srec::s3(0x8C8, srec::ramp(8)));
  refused(after, "line 81: data after the terminating record would not be written");
}

TEST_F(ImageCheckTest, RefusesASecondPartLargerThanTheBlock) {
  bool ok = false;
  check(srec::image(srec::ramp(1024), std::vector<uint8_t>(kDataBlockSize, 0x5A), 64), &ok);
  EXPECT_TRUE(ok);
  std::string out = check(srec::image(srec::ramp(1024), std::vector<uint8_t>(kDataBlockSize + 16, 0x5A), 64), &ok);
  EXPECT_FALSE(ok);
  EXPECT_NE(out.find("more than 262144 data bytes from 0x800"), std::string::npos) << out;
}

}  // namespace
