// What the updater checks and estimates before a run sends anything: an
// EDID's header and block checksums, and --dry-run's time on the wire.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "jobs/dry_run.h"
#include "jobs/edid_check.h"

namespace {

// A well-formed EDID passes quietly; a bad header and each block whose sum
// is not 0 are named.
TEST(EdidCheck, HeaderAndEachBlocksChecksum) {
  const auto image = [](int length, bool header, int badSumBlocks) {
    std::vector<unsigned char> bytes(static_cast<std::size_t>(length), 0x10);
    if (header) {
      const unsigned char h[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
      std::copy(h, h + 8, bytes.begin());
    }
    for (int block = 0; block < length / 128; ++block) {
      unsigned sum = 0;
      for (int i = 0; i < 127; ++i) sum += bytes[static_cast<std::size_t>(block * 128 + i)];
      const bool bad = block < badSumBlocks;
      bytes[static_cast<std::size_t>(block * 128 + 127)] =
          static_cast<unsigned char>(256 - sum % 256 + (bad ? 1 : 0));
    }
    return bytes;
  };
  struct Case {
    int length;
    bool header;
    int badSumBlocks;
    std::vector<std::string> problems;
  };
  const std::string badHeader = "it does not begin with the EDID header 00 FF FF FF FF FF FF 00";
  const Case cases[] = {
      {128, true, 0, {}},
      {256, true, 0, {}},
      {128, false, 0, {badHeader}},
      {128, true, 1, {"the checksum of block 0 is wrong (its bytes sum to 0x01, not 0x00)"}},
      {256, false, 2,
       {badHeader, "the checksum of block 0 is wrong (its bytes sum to 0x01, not 0x00)",
        "the checksum of block 1 is wrong (its bytes sum to 0x01, not 0x00)"}},
  };
  for (const Case& c : cases) {
    const std::vector<unsigned char> bytes = image(c.length, c.header, c.badSumBlocks);
    EXPECT_EQ(edidProblems(bytes.data(), c.length), c.problems) << c.length << c.header;
  }
}

// --dry-run's estimates and make bench's lower bounds are one wire model:
// for bench's own jobs (bench/images.py) the estimate is within 3 % of the
// bound in bench/reference.csv, less the 0.21 s of the identification that
// the bound includes; FPGA's, which the card paces, is never above it.
TEST(DryRunEstimate, MatchesTheBenchBounds) {
  const auto pattern = [](std::size_t size, int seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
      bytes[i] = static_cast<char>(((i % 251) * 37 + static_cast<std::size_t>(seed)) & 0xFF);
    return bytes;
  };
  std::string fdriver = pattern(0x2000, 3), sfdriver = fdriver;
  fdriver.replace(0x800, 8, std::string("FDRIVER\0", 8));
  sfdriver.replace(0x800, 9, std::string("SFDRIVER\0", 9));
  struct Case {
    const char* job;
    WireEstimate estimate;
    double boundSeconds;
  };
  const Case cases[] = {
      {"VIPER 5, 256 KiB", viperEstimate(5, fdriver, pattern(256 * 1024, 5)), 63.53},
      {"VIPER 5, 2 MiB", viperEstimate(5, fdriver, pattern(2 * 1024 * 1024, 6)), 306.33},
      {"VIPER 1, 1 MiB", viperEstimate(1, sfdriver, pattern(1024 * 1024, 7)), 162.12},
      {"VERIFY 5, 256 KiB", readEstimate(256 * 1024), 34.78},
      {"EDID 256", edidEstimate(256), 0.80},
      {"GAMMA", gammaEstimate(), 1.11},
      {"MICRO", microEstimate(4000, 4000, 4000, 256 * 1024), 46.46},
      {"FPGA 100 KiB", fpgaEstimate(100195 - 8), 22.40},
  };
  for (const Case& c : cases) {
    const double bound = c.boundSeconds - 0.21;
    if (c.estimate.lowerBound)
      EXPECT_LE(c.estimate.seconds(), bound) << c.job;
    else
      EXPECT_NEAR(c.estimate.seconds(), bound, bound * 0.03) << c.job;
  }
}

}  // namespace
