// The simulated card's injected faults, sans-IO: where a fault lands, and
// what it does to the command channel's and the boot program's answers.
// (The video processor's faults are in test_vxp_card.cpp.)
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "card.h"
#include "components/boot.h"
#include "faults.h"

using namespace cardsim;
using namespace std::string_literals;

namespace {

class FaultWire : public Wire {
 public:
  Ms t = 0;
  std::string out;
  std::vector<Ms> due;  // when each byte of `out` goes
  std::vector<std::string> notes;
  std::vector<Ms> stops;  // stopReading() calls
  int replugs = 0;

  Ms now() const override { return t; }
  void send(const uint8_t* d, std::size_t n, Ms delay) override {
    out.append(reinterpret_cast<const char*>(d), n);
    due.insert(due.end(), n, t + delay);
  }
  void note(const std::string& s) override { notes.push_back(s); }
  void replug() override { ++replugs; }
  void stopReading(Ms ms) override { stops.push_back(ms); }
  bool noted(const std::string& part) const {
    for (const auto& n : notes)
      if (n.find(part) != std::string::npos) return true;
    return false;
  }
};

std::string repeat(std::size_t n, const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

TEST(FaultPlaces, SyntaxPerFamily) {
  struct Row {
    const FaultFamily& family;
    const char* text;
    bool ok;
  } rows[] = {
      {vxpFaultFamily(), "nack@flash-write:3x7", true},
      {vxpFaultFamily(), "short=4@flash-read:middle", true},
      {vxpFaultFamily(), "garbled@flash-write:lastx3", true},
      {vxpFaultFamily(), "nack@driver-write:last", false},  // the card cannot know the driver's length
      {vxpFaultFamily(), "vanish=3@mode", false},
      {vxpFaultFamily(), "nack@flash-writex3", false},
      {microFaultFamily(), "invalid=#@E:2x2", true},
      {microFaultFamily(), "invalid=ab@R", false},
      {microFaultFamily(), "silence@RR", false},
      {channelFaultFamily(), "refuse@edid-byte:middle", true},
      {channelFaultFamily(), "silence@remote:last", false},
      {channelFaultFamily(), "nack@edid", false},
      {bootFaultFamily(), "wrong=0x12@echo:last", true},
      {bootFaultFamily(), "noprogram=5@block:4", true},
      {bootFaultFamily(), "silence@block:middle", false},
      {bootFaultFamily(), "wrong=-1@echo", false},
  };
  for (const Row& r : rows) {
    Fault f;
    std::string error;
    EXPECT_EQ(parseFault(r.family, r.text, &f, &error), r.ok) << r.text << ": " << error;
  }
}

TEST(FaultPlaces, NumbersPositionsAndRepeats) {
  FaultFamily family = vxpFaultFamily();
  auto parsed = [&](const char* text) {
    Fault f;
    std::string error;
    EXPECT_TRUE(parseFault(family, text, &f, &error)) << error;
    return f;
  };
  // Hits of one fault over a run of flash writes at places 0..9 of 10,
  // then the same places once more (a second transfer).
  auto hits = [&](const char* text) {
    Fault f = parsed(text);
    std::string seen;
    for (long n = 1; n <= 20; ++n) {
      Exchange e{"flash-write", (n - 1) % 10, 10};
      bool hit = f.matches(e, n, n + 5);
      if (hit) ++f.fired;
      seen += hit ? 'x' : '.';
    }
    return seen;
  };
  EXPECT_EQ(hits("nack@flash-write:3x2"), "..xx................");
  EXPECT_EQ(hits("nack@flash-write"), "xxxxxxxxxxxxxxxxxxxx");
  EXPECT_EQ(hits("nack@8x2"), "..xx................");  // the family's 8th and 9th exchange
  EXPECT_EQ(hits("nack@flash-write:first"), "x...................");
  EXPECT_EQ(hits("nack@flash-write:middle"), ".....x..............");
  EXPECT_EQ(hits("nack@flash-write:lastx2"), ".........x.........x");
  EXPECT_FALSE(parsed("nack@flash-write:last").matches(Exchange{"flash-read", 9, 10}, 1, 1));
  // Without a known place, "first" is the first of its kind.
  Fault first = parsed("nack@mode:first");
  EXPECT_TRUE(first.matches(Exchange{"mode"}, 1, 4));
  EXPECT_FALSE(first.matches(Exchange{"mode"}, 2, 5));
}

// ---- command channel: FPGA, EDID, GAMMA, REMOTE through the whole card --

using Opts = std::vector<std::pair<std::string, std::string>>;

struct ChannelCard {
  explicit ChannelCard(const Opts& opts) {
    for (const auto& o : opts) options.set(o.first, o.second);
    card = std::make_unique<Card>(options, state);
    card->powerOn(w);
  }
  std::string feed(const std::string& bytes) {
    card->receive(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), 115200, w);
    return w.out;
  }
  Options options;
  StateDir state;
  FaultWire w;
  std::unique_ptr<Card> card;
};

const std::string kEdid = "#EDID 1\r" + std::string(128, '\x01') + "\x80";  // checksum 0x80
// One value 5 and the rest 0: the checksum byte is 5, which the firmware
// ignores should it arrive after the upload ended.
const std::string kGamma = "#GAMMA 3 0\r" + std::string("\0\x05", 2) + std::string(6142, '\0') + "\x05";
const std::string kScript = "\r#GAIN 3\r";

TEST(ChannelFaults, EachSpoilsItsAnswer) {
  struct Row {
    const char* fault;  // empty: none
    const std::string& input;
    std::string expected;
  } rows[] = {
      {"", kEdid, repeat(128, ".") + "~S"},
      {"silence@edid-byte:first", kEdid, repeat(127, ".") + "~S"},
      {"refuse@edid-byte:middle", kEdid, repeat(64, ".") + "~E"},
      {"echo@edid-byte:last", kEdid, repeat(127, ".") + "\x01~S"},
      {"noise=3@edid", kEdid, std::string("\0\x55=", 3) + repeat(128, ".") + "~S"},
      {"cut@edid-verdict", kEdid, repeat(128, ".") + "~"},
      {"refuse@edid-verdict", kEdid, repeat(128, ".") + "~E"},
      {"silence@edid", kEdid, ""},
      {"refuse@edid", kEdid, "#NACK\r"},
      {"echo@edid", kEdid, "#EDID 1\r"},
      {"", kGamma, repeat(3072, ".") + "~S"},
      {"refuse@gamma-value:last", kGamma, repeat(3071, ".") + "~E"},
      {"silence@gamma-verdict", kGamma, repeat(3072, ".")},
      {"", kScript, ">#ACK\r"},
      {"silence@remote-prompt", kScript, "#ACK\r"},
      {"refuse@remote", kScript, ">#NACK\r"},
      {"echo@remote", kScript, ">#GAIN 3\r"},
      {"cut@remote", kScript, ">#A"},
      {"silence@remote:2", kScript + kScript, ">#ACK\r>"},
      {"refuse@micromode", "#MICROMODE\r#MICRO\r", "#NACK\r"},  // no hand-over follows
      {"silence@micro", "#MICROMODE\r#MICRO\r\x55", "#MICROMODE\r"},
  };
  for (const Row& r : rows) {
    Opts opts;
    if (*r.fault) opts.push_back({"channel-fault", r.fault});
    ChannelCard c(opts);
    EXPECT_EQ(c.feed(r.input), r.expected) << r.fault;
    if (*r.fault) {
      EXPECT_TRUE(c.w.noted(std::string("fault ") + r.fault)) << r.fault;
    }
    // The card keeps only what it accepted.
    // The card keeps what it accepted, even when its verdict is lost.
    const bool accepted = r.expected.find('~') != std::string::npos && r.expected.find("~E") == std::string::npos;
    if (&r.input == &kEdid) {
      EXPECT_EQ(c.state.load("edid.bin").has_value(), accepted) << r.fault;
    }
  }
}

TEST(ChannelFaults, FpgaRequestsAndVerdict) {
  struct Row {
    const char* fault;
    std::string expected;  // after "#FPGA 1\r", one byte, four bytes
  } rows[] = {
      {"", std::string("*$$\0\x04~S", 7)},
      {"cut@fpga-request:2", std::string("*$$$$\0\x04~S", 9)},
      {"refuse@fpga-request:first", "~E"},
      {"echo@fpga-request:2", "*A~S"},
      {"silence@fpga-verdict", std::string("*$$\0\x04", 5)},
      {"refuse@fpga-verdict", std::string("*$$\0\x04~E", 7)},
      {"refuse@fpga", "#NACK\r"},
  };
  for (const Row& r : rows) {
    Opts opts{{"fpga-plan", "*,4"}};
    if (*r.fault) opts.push_back({"channel-fault", r.fault});
    ChannelCard c(opts);
    EXPECT_EQ(c.feed("#FPGA 1\rA" + std::string("BCDE")), r.expected) << r.fault;
  }
  ChannelCard cut(Opts{{"fpga-plan", "*,4"}, {"channel-fault", "cut@fpga-request:2"}});
  cut.feed("#FPGA 1\rA");
  EXPECT_EQ(cut.w.due.back(), 1500u);  // the whole request follows the cut one 1.5 s later
}

TEST(ChannelFaults, TimingStallAndLostLine) {
  ChannelCard slow(Opts{{"channel-fault", "slow@gamma-verdict"}});
  slow.feed(kGamma);
  EXPECT_EQ(slow.w.due.back(), 6000u);  // past the updater's 5 s wait for the verdict

  ChannelCard stall(Opts{{"channel-fault", "stall=500@edid-byte:last"}, {"channel-fault", "stall@remote"}});
  stall.feed(kEdid);
  EXPECT_EQ(stall.w.stops, std::vector<Ms>{500});
  EXPECT_EQ(stall.w.due[127], 500u);  // the last acknowledgement comes when the card reads again
  stall.feed(kScript);
  EXPECT_EQ(stall.w.stops.back(), 0u);  // for good: no answer
  EXPECT_EQ(stall.w.out.substr(130), ">");

  ChannelCard gone(Opts{{"channel-fault", "vanish@edid-byte:2"}, {"channel-fault", "vanish@fpga"}});
  EXPECT_EQ(gone.feed(kEdid), repeat(127, ".") + "~S");
  gone.feed("#FPGA 1\r");
  EXPECT_EQ(gone.w.replugs, 2);
  EXPECT_TRUE(gone.w.noted("line dropped"));
}

// ---- boot program and kernels ----------------------------------------------

// A healthy boot-mode run, step by step: what the updater sends.
struct BootStep {
  const char* name;
  std::string bytes;
};
std::vector<BootStep> bootRun() {
  std::string block = std::string("\x50\0\0\0\0", 5) + std::string(128, '\x01');
  block += static_cast<char>(0x100 - ((0x50 + 128) & 0xFF));
  return {
      {"match", std::string(1, '\0')},
      {"sync", "\x55"},
      {"length", std::string("\0\x04", 2)},
      {"kernel", "\x01\x02\x03\x04"},
      {"inquiry", "\x27"},
      {"device", "\x10\x04\x30\x34\x31\x30\x27"},
      {"clock", "\x11\x01\x03\xEB"},
      {"bitrate", "\x3F\x07\x04\x80\x04\x52\x02\x04\x02\xD8"},
      {"confirm", "\x06"},
      {"transition", "\x40"},
      {"main", std::string("\0\0\0\x02\x11\x22", 6) + static_cast<char>(0x100 - (0x11 + 0x22 + 0x75))},
      {"status", "\x4F"},
      {"prepare", "\x43"},
      {"write", std::string("\0\0\0\x01\x33", 5) + static_cast<char>(0x100 - (0x33 + 0x9A))},
      {"block", block},
      {"status2", "\x4F"},
  };
}

struct BootRig {
  explicit BootRig(const char* fault) {
    if (*fault) options.set("boot-fault", fault);
    context = std::make_unique<CardContext>(options, state);
    session = startBootProgram(*context, BootEntry::PowerOn, w);
  }
  // Plays the run; the card's answer to each step.
  std::vector<std::string> play() {
    std::vector<std::string> answers;
    for (const BootStep& step : bootRun()) {
      w.out.clear();
      w.due.clear();
      for (char c : step.bytes) session->onByte(static_cast<uint8_t>(c), w);
      answers.push_back(w.out);
      lastDue.push_back(w.due.empty() ? 0 : w.due.back());
      if (std::string(step.name) == "bitrate") rateAfterBitrate = session->listenBaud();
    }
    return answers;
  }
  Options options;
  StateDir state;
  FaultWire w;
  std::unique_ptr<CardContext> context;
  std::unique_ptr<Session> session;
  uint32_t rateAfterBitrate = 0;
  std::vector<Ms> lastDue;  // when each step's answer ends
};

TEST(BootFaults, EachSpoilsItsStep) {
  const std::vector<std::string> healthy = {
      std::string(1, '\0'), "\xAA", std::string("\0\x04", 2), "\x01\x02\x03\x04\xAA\xAA",
      "\x37\x02\x00\x80\x47"s, "\x06", "\x06", "\x06", "\x06", "\x06", "\x06",
      "\x5F\x02\x03\x00\x9C"s, "\x06", "\x06", "\x06", "\x5F\x02\x04\x00\x9B"s};
  struct Row {
    const char* fault;
    std::size_t step;
    std::string answer;
  } rows[] = {
      {"silence@match", 0, ""},
      {"wrong@sync", 1, "\x55"},
      {"silence@length:last", 2, std::string(1, '\0')},
      {"wrong@echo:last", 3, "\x01\x02\x03\xFB\xAA\xAA"},
      {"wrong=0x09@echo:middle", 3, "\x01\x02\x09\x04\xAA\xAA"},
      {"wrong@erase", 3, "\x01\x02\x03\x04\xAA\xFF"},
      {"wrong@inquiry", 4, "\x37\x02\x00\x40\x87"s},
      {"badsum@inquiry", 4, "\x37\x02\x00\x80\x48"s},
      {"refuse@device", 5, "\x15"},
      {"noise=2@clock", 6, std::string("\0\x55\x06", 3)},
      {"refuse@confirm", 8, "\x15"},
      {"wrong@main-kernel", 10, "\xF9"},
      {"wrong@status:1", 11, "\x5F\x02\x05\x00\x9A"s},
      {"badsum@status:2", 15, "\x5F\x02\x04\x00\x9C"s},
      {"silence@prepare-user", 12, ""},
      {"refuse@block:first", 14, "\x15"},
      {"noprogram=5@block", 14, "\x06"},
  };
  for (const Row& r : rows) {
    BootRig rig(r.fault);
    std::vector<std::string> answers = rig.play();
    for (std::size_t i = 0; i < r.step; ++i) ASSERT_EQ(answers[i], healthy[i]) << r.fault << " step " << i;
    EXPECT_EQ(answers[r.step], r.answer) << r.fault;
    EXPECT_TRUE(rig.w.noted(std::string("fault ") + r.fault)) << r.fault;
  }
  BootRig clean("");
  EXPECT_EQ(clean.play(), healthy);
}

TEST(BootFaults, WhatTheCardKeeps) {
  auto flashAt = [](BootRig& rig, std::size_t i) {
    rig.session.reset();  // the flash is saved when the session ends
    return rig.state.load("micro_flash.bin").value().at(i);
  };
  BootRig refused("refuse@block");
  refused.play();
  EXPECT_EQ(flashAt(refused, 0), 0xFF);  // a refused block leaves the flash as it is
  BootRig partial("noprogram=5@block");
  partial.play();
  EXPECT_EQ(flashAt(partial, 4), 0x01);
  EXPECT_EQ(flashAt(partial, 5), 0xFF);  // acknowledged, yet not programmed
  BootRig rate("refuse@bitrate");
  rate.play();
  EXPECT_EQ(rate.rateAfterBitrate, 9600u);  // a refused rate change is not made

  BootRig late("slow@device");
  EXPECT_EQ(late.play()[5], "\x06");
  EXPECT_EQ(late.lastDue[5], 11000u);  // past the updater's 7 s wait for an acknowledgement
  BootRig gone("vanish@status:2");
  gone.play();
  EXPECT_EQ(gone.w.replugs, 1);
}

// Power-on: the firmware runs only from a complete application.
TEST(BootFaults, PowerOnStartsTheBootProgramWithoutACompleteApplication) {
  struct Row {
    const char* fault;  // of a boot-mode run before the power cycle; nullptr: none
    bool boots;
  } rows[] = {
      {nullptr, false},              // never reflashed: the factory application
      {"", false},                   // a whole write, acknowledged
      {"vanish@block", true},        // programmed, the 0x06 never went out
      {"stall@block", true},
      {"refuse@block", true},        // erased, nothing written
  };
  for (const Row& r : rows) {
    if (!r.fault) {
      EXPECT_FALSE(startsInBootProgram(StateDir())) << "fresh card";
      continue;
    }
    BootRig rig(r.fault);
    rig.play();
    rig.session.reset();
    EXPECT_EQ(startsInBootProgram(rig.state), r.boots) << r.fault;
  }
}

}  // namespace
