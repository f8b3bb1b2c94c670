// The card-feature parsers of the updater (gamma table, command script) and
// the simulated card's side of the four transfers, without any I/O.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "components/edid.h"
#include "components/fpga.h"
#include "components/remote.h"
#include "components/xsvf.h"
#include "jobs/dry_run.h"
#include "jobs/edid_check.h"
#include "jobs/gamma_table.h"
#include "jobs/remote_script.h"
#include "xsvf_stream.h"

namespace {

// ---- gamma table -----------------------------------------------------------

std::vector<int> parsed(const char* line) {
  int v[3] = {-7, -7, -7};
  parseGammaLine(line, v);
  return {v[0], v[1], v[2]};
}

TEST(GammaLine, AnySingleSeparatorAndBlanksAfterIt) {
  const std::vector<int> want = {0, 1023, 512};
  EXPECT_EQ(parsed("0;1023;512"), want);
  EXPECT_EQ(parsed("0, 1023, 512"), want);
  EXPECT_EQ(parsed("0 1023 512"), want);
  EXPECT_EQ(parsed("0,1023,512\r\n"), want);
  EXPECT_EQ(parsed("  0\t1023\t512 trailing text 99"), want);
  EXPECT_EQ(parsed("0,1023,512,7"), want);  // a fourth value is ignored
}

TEST(GammaLine, WhatTheLineDoesNotSupplyIsZero) {
  EXPECT_EQ(parsed(""), (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(parsed("\n"), (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(parsed("5,6"), (std::vector<int>{5, 6, 0}));
  EXPECT_EQ(parsed("5,,6"), (std::vector<int>{5, 0, 0}));  // two separators: stops
  EXPECT_EQ(parsed("5 , 6, 7"), (std::vector<int>{5, 0, 0}));  // blank then ',' is two
  EXPECT_EQ(parsed("x,1,2"), (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(parsed("-1;+2;3"), (std::vector<int>{-1, 2, 3}));
}

TEST(GammaLine, HugeNumbersSaturateInsteadOfOverflowing) {
  EXPECT_EQ(parsed("99999999999999999999,0,0")[0], 2147483647);
  EXPECT_EQ(parsed("0,-99999999999999999999,0")[1], -2147483647 - 1);
  GammaTable t;
  EXPECT_EQ(t.addLine("4294967296,0,0"), GammaLineResult::OutOfRange);  // not 0 after a wrap
}

TEST(GammaTableFile, CountsDataLinesSkipsCommentsAndChecksRange) {
  GammaTable t;
  EXPECT_EQ(t.addLine("% header"), GammaLineResult::Comment);
  EXPECT_EQ(t.addLine("1,2,3\n"), GammaLineResult::Data);
  EXPECT_EQ(t.addLine("\n"), GammaLineResult::Data);  // a blank line is three zeros
  EXPECT_EQ(t.addLine(" % not a comment: the '%' is not first\n"), GammaLineResult::Data);
  EXPECT_EQ(t.lines(), 3);
  EXPECT_EQ(t.addLine("1024,0,0"), GammaLineResult::OutOfRange);
  EXPECT_EQ(t.addLine("0,0,-1"), GammaLineResult::OutOfRange);
  EXPECT_EQ(t.addLine("1023,1023,1023"), GammaLineResult::Data);
  EXPECT_EQ(t.lines(), 4);
  EXPECT_EQ(t.values()[0], 1);
  EXPECT_EQ(t.values()[2], 3);
  EXPECT_EQ(t.values()[3], 0);
  EXPECT_EQ(t.values()[11], 1023);
}

TEST(GammaTableFile, StoresTheFirst1024LinesAndCountsTheRest) {
  GammaTable t;
  for (int i = 0; i < 1024; ++i) t.addLine((std::to_string(i) + ",0,1").c_str());
  EXPECT_TRUE(t.complete());
  t.addLine("7,7,7");
  EXPECT_FALSE(t.complete());
  EXPECT_EQ(t.lines(), 1025);
  EXPECT_EQ(t.values()[3 * 1023], 1023);  // the 1025th line did not overwrite anything
}

// ---- command script --------------------------------------------------------

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

TEST(ScriptLines, FirstCharacterDecides) {
  EXPECT_EQ(scriptLineKind("#X 1\r\n"), ScriptLine::Command);
  EXPECT_EQ(scriptLineKind("@hello\n"), ScriptLine::Message);
  EXPECT_EQ(scriptLineKind("$\n"), ScriptLine::KeyStop);
  EXPECT_EQ(scriptLineKind("&100\n"), ScriptLine::Pause);
  EXPECT_EQ(scriptLineKind("\n"), ScriptLine::Comment);
  EXPECT_EQ(scriptLineKind(""), ScriptLine::Comment);
  EXPECT_EQ(scriptLineKind(" #X 1"), ScriptLine::Comment);
  EXPECT_EQ(scriptLineKind("; note"), ScriptLine::Comment);
}

TEST(ScriptLines, CommandEndsBeforeItsLineEnd) {
  EXPECT_EQ(commandLength("#X 1\r\n"), 4u);
  EXPECT_EQ(commandLength("#X 1\n"), 4u);
  EXPECT_EQ(commandLength("#X 1"), 4u);
  EXPECT_EQ(commandLength("#A\rB\n"), 2u);
}

TEST(ScriptLines, PauseWithoutNumberKeepsTheLastOne) {
  int wait = 0;
  EXPECT_FALSE(readPause("&\n", &wait));
  EXPECT_EQ(wait, 0);
  EXPECT_TRUE(readPause("&250\n", &wait));
  EXPECT_EQ(wait, 250);
  EXPECT_FALSE(readPause("&\r\n", &wait));
  EXPECT_EQ(wait, 250);
  EXPECT_FALSE(readPause("&ms\n", &wait));
  EXPECT_EQ(wait, 250);
  EXPECT_TRUE(readPause("& 40 ms\n", &wait));
  EXPECT_EQ(wait, 40);
  EXPECT_TRUE(readPause("&-5\n", &wait));  // never a 49-day sleep
  EXPECT_EQ(wait, 0);
}

// ---- XSVF reader -----------------------------------------------------------

// Feeds a stream to the reader as the card asks for it; returns the sizes
// asked for.
std::vector<std::size_t> play(cardsim::XsvfReader& r, const std::vector<uint8_t>& s) {
  std::vector<std::size_t> asked;
  std::size_t at = 0;
  while (r.state() == cardsim::XsvfReader::State::Reading && at + r.need() <= s.size()) {
    const std::size_t n = r.need();
    asked.push_back(n);
    r.take(s.data() + at, n);
    at += n;
  }
  return asked;
}

TEST(XsvfReader, AsksForEachInstructionsOperandsByTheirLength) {
  cardsim::XsvfReader r;
  const std::vector<std::size_t> asked = play(r, testxsvf::stream());
  const std::vector<std::size_t> want = {
      1, 1, 1, 1, 1, 1,  // XCOMMENT "test" and its 0
      1, 1,              // XREPEAT
      1, 4,              // XRUNTEST
      1, 1, 1, 1,        // XENDIR, XENDDR
      1, 1, 1,           // XSIR: length, then one byte of 6 bits
      1, 4,              // XSDRSIZE 32
      1, 4,              // XTDOMASK
      1, 8,              // XSDRTDO: TDI and TDO together
      1, 1, 1,           // XSIR
      1, 4,              // XRUNTEST
      1, 4,              // XSDRSIZE 8
      1, 1,              // XSDR
      1, 1,              // XTDOMASK
      1, 2,              // XSDRTDO
      1};                // XCOMPLETE
  EXPECT_EQ(asked, want);
  EXPECT_EQ(r.state(), cardsim::XsvfReader::State::Complete);
  EXPECT_EQ(r.instructions(), 16);
}

TEST(XsvfReader, WideRegistersGiveBlocksBeyondAThousandBytes) {
  cardsim::XsvfReader r;
  const std::vector<std::size_t> asked = play(r, testxsvf::stream(9000));
  EXPECT_EQ(r.state(), cardsim::XsvfReader::State::Complete);
  EXPECT_EQ(r.sdrBits(), 9000u);
  EXPECT_NE(std::find(asked.begin(), asked.end(), 2250u), asked.end());  // XSDRTDO
}

TEST(XsvfReader, MaskedIncrementAndMalformedStreams) {
  cardsim::XsvfReader r;
  // XSDRSIZE 16, XSETSDRMASKS (data mask with 12 one bits), XSDRINC 3 times.
  std::vector<uint8_t> s = {0x08, 0, 0, 0, 16, 0x0A, 0xFF, 0xFF, 0x0F, 0xFF, 0x0B, 0x12, 0x34, 3};
  s.insert(s.end(), 6, 0xAB);  // 3 x 2 bytes (12 bits rounded up)
  s.push_back(0x00);
  const std::vector<std::size_t> asked = play(r, s);
  EXPECT_EQ(asked, (std::vector<std::size_t>{1, 4, 1, 4, 1, 3, 6, 1}));
  EXPECT_EQ(r.state(), cardsim::XsvfReader::State::Complete);

  cardsim::XsvfReader unknown;
  play(unknown, {0x04, 0, 0, 0, 1, 0x42});
  EXPECT_EQ(unknown.state(), cardsim::XsvfReader::State::Malformed);
  EXPECT_EQ(unknown.error(), "unknown instruction 42");

  cardsim::XsvfReader huge;  // operands that no request could carry
  play(huge, {0x08, 0x00, 0x10, 0x00, 0x00});
  EXPECT_EQ(huge.state(), cardsim::XsvfReader::State::Malformed);
}

// ---- card side, sans-IO ----------------------------------------------------

class RecordingWire : public cardsim::Wire {
 public:
  cardsim::Ms t = 0;
  std::string out;
  std::vector<cardsim::Ms> at;  // when each byte of `out` is due
  std::vector<std::string> notes;
  cardsim::Ms now() const override { return t; }
  void send(const uint8_t* d, std::size_t n, cardsim::Ms delay) override {
    out.append(reinterpret_cast<const char*>(d), n);
    at.insert(at.end(), n, t + delay);
  }
  void note(const std::string& s) override { notes.push_back(s); }
};

struct CardParts {
  cardsim::Options options;
  cardsim::StateDir state;
  cardsim::CardContext context{options, state};
  RecordingWire w;
  void feed(cardsim::Session& s, const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes) s.onByte(b, w);
  }
};

TEST(CardEdid, RefusesAChecksumThatIsNotThePlainSum) {
  CardParts bad;
  auto s2 = cardsim::startEdid(bad.context, 1, bad.w);
  bad.feed(*s2, std::vector<uint8_t>(128, 1));
  s2->onByte(0x80 + 1, bad.w);  // the sum is 0x80: a complement or off-by-one is refused
  EXPECT_EQ(bad.w.out.substr(128), "~E");
  EXPECT_FALSE(bad.state.load("edid.bin").has_value());
}

TEST(CardEdid, DefaultRestoreStoresAValidBlock) {
  CardParts c;
  cardsim::restoreDefaultEdid(c.context, c.w);
  auto e = c.state.load("edid.bin");
  ASSERT_TRUE(e.has_value());
  ASSERT_EQ(e->size(), 128u);
  uint8_t sum = 0;
  for (uint8_t b : *e) sum = static_cast<uint8_t>(sum + b);
  EXPECT_EQ(sum, 0);
  EXPECT_EQ((*e)[1], 0xFF);
}

TEST(CardRemote, OnlyKnownWordsAreAcknowledgedWhenSomeAreNamed) {
  CardParts known;
  known.options.set("remote-known", "GAIN");
  cardsim::answerCommand(known.context, "GAIN 3", known.w);
  cardsim::answerCommand(known.context, "OTHER", known.w);
  EXPECT_EQ(known.w.out, "#ACK\r#NACK\r");
}

TEST(CardFpga, RequestsFollowTheStreamAndEndAtComplete) {
  CardParts c;
  c.options.set("fpga-trailing", "\r\n");
  auto s = cardsim::startFpga(c.context, c.w);
  EXPECT_EQ(c.w.out, "*\r\n");
  const std::vector<uint8_t> stream = testxsvf::stream();
  c.w.out.clear();
  // XCOMMENT: '*' per character; then XREPEAT '*' '*'.
  c.feed(*s, std::vector<uint8_t>(stream.begin(), stream.begin() + 6));
  EXPECT_EQ(c.w.out, std::string("*\r\n") + "*\r\n*\r\n*\r\n*\r\n*\r\n");
  c.w.out.clear();
  c.feed(*s, std::vector<uint8_t>(stream.begin() + 6, stream.begin() + 9));  // XREPEAT, XRUNTEST
  EXPECT_EQ(c.w.out, std::string("*\r\n*\r\n") + std::string("$$\0\x04\r\n", 6));
  c.w.out.clear();
  c.feed(*s, std::vector<uint8_t>(stream.begin() + 9, stream.end()));
  EXPECT_EQ(c.w.out.substr(c.w.out.size() - 2), "~S");
  EXPECT_TRUE(s->finished());
  EXPECT_EQ(c.state.load("fpga.xsvf"), stream);
}

TEST(CardFpga, PlanForcesRequestsNoticesCutsAndVerdicts) {
  CardParts c;
  c.options.set("fpga-plan", "*,1200,!x,cut,0,~F");
  auto s = cardsim::startFpga(c.context, c.w);
  EXPECT_EQ(c.w.out, "*");
  c.feed(*s, {0x42});
  EXPECT_EQ(c.w.out, std::string("*$$\x04\xB0", 5));
  c.w.out.clear();
  c.w.at.clear();
  c.w.t = 100;
  c.feed(*s, std::vector<uint8_t>(1200, 7));
  EXPECT_EQ(c.w.out, std::string("$x$$$$\0\0~F", 10));
  EXPECT_EQ(c.w.at[0], 100u);
  EXPECT_EQ(c.w.at[4], 1600u);  // the request after the cut waits 1.5 s
  EXPECT_TRUE(s->finished());
  EXPECT_EQ(c.state.load("fpga.xsvf")->size(), 1201u);

  std::vector<cardsim::PlanStep> steps;
  std::string error;
  EXPECT_FALSE(cardsim::parsePlan("*,65536", &steps, &error));
  EXPECT_FALSE(cardsim::parsePlan("*,,1", &steps, &error));
  EXPECT_TRUE(cardsim::parsePlan("65535", &steps, &error));
}

TEST(CardFpga, AMalformedStreamEndsWithARefusal) {
  CardParts c;
  auto s = cardsim::startFpga(c.context, c.w);
  c.feed(*s, {0x55});
  EXPECT_EQ(c.w.out, "*~E");
  EXPECT_TRUE(s->finished());
}

TEST(CardFpga, GivesUpWhenTheUpdaterGoesAway) {
  CardParts c;
  auto s = cardsim::startFpga(c.context, c.w);
  c.feed(*s, {0x07});
  ASSERT_TRUE(s->timer().has_value());
  c.w.t = *s->timer();
  c.w.out.clear();
  s->onTimer(c.w);
  EXPECT_EQ(c.w.out, "~T");
  EXPECT_TRUE(s->finished());
  EXPECT_EQ(c.state.load("fpga.xsvf"), (std::vector<uint8_t>{0x07}));
}

}  // namespace
