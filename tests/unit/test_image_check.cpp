// The check of appMain.mot and the kernels before anything goes to the card:
// broken records and data the flash write would put elsewhere are refused,
// naming the line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "boot/image_check.h"
#include "boot/srecord_reader.h"
#include "support/scratch_dir.h"
#include "unit/srecords.h"

namespace {

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
