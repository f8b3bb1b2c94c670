// The simulated card's side of the FPGA, EDID and REMOTE transfers and its
// XSVF reader, without any I/O.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "components/edid.h"
#include "components/fpga.h"
#include "components/remote.h"
#include "components/xsvf.h"
#include "support/xsvf_stream.h"

namespace {

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
