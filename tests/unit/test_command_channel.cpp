// The card command exchange and identification against a scripted line on
// the virtual clock.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "link/command_channel.h"
#include "link/identification.h"
#include "link/serial_link.h"
#include "platform/posix_device.h"
#include "support/fake_line.h"
#include "support/sim_peer.h"
#include "support/updater_run.h"

namespace {

using testsupport::FakeLine;

// A peer that answers each complete command with a scripted reply, and acts
// on the line at scheduled virtual times.
class ScriptedCard : public testsupport::Peer {
 public:
  std::function<void(const std::string&, FakeLine&)> onCommand;
  std::deque<std::pair<uint64_t, std::function<void(FakeLine&)>>> scheduled;
  std::string pending;

  void onWrite(const uint8_t* d, std::size_t n, uint32_t, FakeLine& line) override {
    for (std::size_t i = 0; i < n; ++i) {
      pending.push_back(static_cast<char>(d[i]));
      if (d[i] == '\r') {
        if (onCommand) onCommand(pending, line);
        pending.clear();
      }
    }
  }
  std::optional<uint64_t> nextEvent() const override {
    if (scheduled.empty()) return std::nullopt;
    return scheduled.front().first;
  }
  void onEvent(FakeLine& line) override {
    auto action = std::move(scheduled.front().second);
    scheduled.pop_front();
    action(line);
  }
};

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

class CommandChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    link = testsupport::openTestLink();
    ASSERT_NE(link, nullptr);
    line.setPeer(&card);
  }
  void TearDown() override {
    line.setPeer(nullptr);
    link.reset();
  }
  // A card that knows both requests.
  void answerAs(const std::string& model, const std::string& version = "1 2.0") {
    card.onCommand = [model, version](const std::string& cmd, FakeLine& l) {
      if (cmd == "#DEVERSION\r") l.deliver("#DEVERSION " + version + "\r", 1);
      if (cmd == "#DEVTYPE\r") l.deliver("#DEVTYPE " + model + "\r", 1);
    };
  }

  FakeLine line;
  ScriptedCard card;
  std::unique_ptr<SerialLink> link;
};

TEST_F(CommandChannel, AnswerFramingDropsNoiseAndInnerHashes) {
  struct Case {
    std::string reply;
    std::string expected;
  };
  const Case cases[] = {
      {"xx#DEVTYPE HDMITOSDI\r", "#DEVTYPE HDMITOSDI\r"},
      {"#DEV#TYPE\r", "#DEVTYPE\r"},
      {"\r#DEVTYPE X\r", "#DEVTYPE X\r"},  // a CR before any '#' ends nothing
  };
  for (const Case& c : cases) {
    card.onCommand = [&](const std::string&, FakeLine& l) { l.deliver(c.reply, 3); };
    char answer[60] = {0};
    EXPECT_EQ(SendCmd(*link, "#DEVTYPE\r", 9, answer, sizeof answer), SendCmdResult::kAnswer) << c.reply;
    EXPECT_EQ(std::string(answer), c.expected);
  }
}

TEST_F(CommandChannel, AnswerSpreadOverReadsAndLateStaleBytes) {
  line.deliver("#OLD LATE ANSWER\r");  // waiting before the command: drained
  card.onCommand = [](const std::string& cmd, FakeLine& l) {
    EXPECT_EQ(cmd, "#DEVERSION\r");
    l.deliver("#DEVER", 5);
    l.deliver("SION 2 3.1", 900);
    l.deliver("\r", 1500);  // still inside the 2000 ms window
  };
  char answer[60] = {0};
  EXPECT_EQ(SendCmd(*link, "#DEVERSION\r", 11, answer, sizeof answer), SendCmdResult::kAnswer);
  EXPECT_STREQ(answer, "#DEVERSION 2 3.1\r");
}

TEST_F(CommandChannel, SilentCardCostsFourAnswerWindows) {
  char answer[60] = {0};
  uint64_t start = line.now();
  EXPECT_EQ(SendCmd(*link, "#DEVTYPE\r", 9, answer, sizeof answer), SendCmdResult::kNoAnswer);
  uint64_t spent = line.now() - start;
  EXPECT_GE(spent, 8000u);
  EXPECT_LE(spent, 8020u);
  EXPECT_EQ(line.writtenText(), "#DEVTYPE\r");  // never sent twice
}

TEST_F(CommandChannel, OverlongAnswerNeverPassesTheCallersBuffer) {
  // 88 characters in one read without a carriage return.
  card.onCommand = [](const std::string&, FakeLine& l) { l.deliver("#" + std::string(87, 'A'), 1); };
  char answer[80];
  std::memset(answer, 0x5A, sizeof answer);
  EXPECT_EQ(SendCmd(*link, "#DEVTYPE\r", 9, answer, 60), SendCmdResult::kNoAnswer);
  for (int i = 60; i < 80; ++i) EXPECT_EQ(answer[i], 0x5A) << i;
}

TEST_F(CommandChannel, CarriageReturnInTheReadThatTimesOutStillCompletes) {
  char answer[60] = {0};
  line.deliver("#ANSWER", 1);
  // The CR arrives in the read that passes the 2000 ms deadline.
  line.deliver("\r", 2001);
  EXPECT_EQ(ReadCmd(*link, answer, sizeof answer), ReadCmdStatus::kComplete);
}

TEST_F(CommandChannel, ZeroLengthCommandSendsNothingAndStillWaits) {
  line.deliver("#LATE\r", 1500);  // arrives after the 1000 ms drain window
  char answer[60] = {0};
  EXPECT_EQ(SendCmd(*link, "", 0, answer, sizeof answer), SendCmdResult::kAnswer);
  EXPECT_TRUE(line.written.empty());
}

TEST_F(CommandChannel, PortFailuresAreToldApartFromSilence) {
  struct Case {
    const char* name;
    std::function<void(FakeLine&)> fault;
    SendCmdResult result;
    const char* written;
    uint64_t maxMs;  // a failure is known at once, not after four windows
  };
  const Case cases[] = {
      {"a write call fails", [](FakeLine& l) { l.failWrites = 1; }, SendCmdResult::kPortFailure, "", 10},
      {"every read fails", [](FakeLine& l) { l.failReads = 100; }, SendCmdResult::kPortFailure, "#DEVTYPE\r", 10},
      {"the device vanished", [](FakeLine& l) { l.vanish(); }, SendCmdResult::kPortFailure, "", 10},
      // A byte the port does not take within its write time-out (100 ms).
      {"the write stalls", [](FakeLine& l) { l.stallWrites = true; }, SendCmdResult::kNoAnswer, "", 150},
  };
  for (const Case& c : cases) {
    line.written.clear();
    link = testsupport::openTestLink();
    ASSERT_NE(link, nullptr) << c.name;
    c.fault(line);
    char answer[60] = {0};
    const uint64_t start = line.now();
    EXPECT_EQ(SendCmd(*link, "#DEVTYPE\r", 9, answer, sizeof answer), c.result) << c.name;
    EXPECT_LE(line.now() - start, c.maxMs) << c.name;
    EXPECT_EQ(line.writtenText(), c.written) << c.name;
    line.failReads = line.failWrites = 0;
    line.stallWrites = false;
    line.replug();
  }
}

class Identification : public CommandChannel {
 protected:
  DevTypeResult devType(CardIdentity* identity) {
    testing::internal::CaptureStdout();
    const DevTypeResult result = DevType(*link, identity);
    out = testing::internal::GetCapturedStdout();
    return result;
  }
  std::string out;
};

TEST_F(Identification, SixModelsWithVariantAndVersion) {
  const char* answers[] = {"DVITOSDI", "SDITODVI", "SL-SDITODVI", "HDMITOSDI", "SDITOHDMI", "SL-SDITOHDMI"};
  for (int model = 1; model <= 6; ++model) {
    answerAs(answers[model - 1], "2 3.1.4beta77");
    CardIdentity identity;
    EXPECT_EQ(devType(&identity), DevTypeResult::kModel);
    EXPECT_EQ(out, "\nNow communicating with the card to obtain version information...OK");
    EXPECT_EQ(identity.model, model);
    EXPECT_EQ(identity.variant, 2);
    EXPECT_STREQ(identity.firmwareVersion, "3.1.4beta");  // kept to 9 characters
  }
}

TEST_F(Identification, ModelAnswerMustMatchExactly) {
  for (const char* reply : {"#DEVTYPE HDMITOSDI \r", "#DEVTYPE hdmitosdi\r", "#DEVTYPE\r"}) {
    card.onCommand = [&](const std::string& cmd, FakeLine& l) {
      l.deliver(cmd == "#DEVTYPE\r" ? reply : "#DEVERSION 1 2.0\r", 1);
    };
    CardIdentity identity;
    EXPECT_EQ(devType(&identity), DevTypeResult::kUnknownModel) << reply;
    EXPECT_NE(out.find("\nERROR CARD MODEL UNKNOWN"), std::string::npos);
    EXPECT_EQ(identity.model, 0);
  }
}

TEST_F(Identification, VersionUnreadIsMarked) {
  card.onCommand = [](const std::string& cmd, FakeLine& l) {
    if (cmd == "#DEVERSION\r") l.deliver("#DEVERSON 2 3.1\r", 1);
    if (cmd == "#DEVTYPE\r") l.deliver("#DEVTYPE DVITOSDI\r", 1);
  };
  CardIdentity identity;
  EXPECT_EQ(devType(&identity), DevTypeResult::kModel);
  EXPECT_EQ(identity.variant, 69);
  EXPECT_FALSE(identity.versionKnown());
}

TEST_F(Identification, OldFirmwareAndSilenceAreToldApart) {
  // An old firmware answers its version, not its model, and its menu keys.
  card.onCommand = [](const std::string& cmd, FakeLine& l) {
    if (cmd == "#DEVERSION\r") l.deliver("#DEVERSION 1 1.0\r", 1);
    if (cmd == "\r") l.deliver("\r\nMENU>", 1);
  };
  CardIdentity identity;
  EXPECT_EQ(devType(&identity), DevTypeResult::kOldFirmware);
  EXPECT_NE(out.find("\nYou are using an old firmware version..."), std::string::npos);
  EXPECT_NE(line.writtenText().find("#DEVTYPE\r\r1$"), std::string::npos);

  // A silent card: 15 version requests, one model request, the keys; the
  // port is never reopened for silence.
  card.onCommand = nullptr;
  line.written.clear();
  const int opens = line.opens;
  const uint64_t start = line.now();
  EXPECT_EQ(devType(&identity), DevTypeResult::kNoCommunication);
  EXPECT_NE(out.find("\nError no communication with the device"), std::string::npos);
  EXPECT_EQ(count(line.writtenText(), "#DEVERSION\r"), 15u);
  EXPECT_GE(line.now() - start, 15u * 8000u + 8000u + 1500u);
  EXPECT_EQ(line.opens, opens);
}

TEST_F(Identification, ReopensOnlyWhenARequestReportedAPortFailure) {
  answerAs("SDITOHDMI");
  struct Case {
    const char* name;
    int failReads;
    DWORD staleError;
    int reopens;
  };
  const Case cases[] = {
      {"reads fail under the first request", 8, 0, 1},
      {"an error code left behind by an earlier call", 0, ERROR_ACCESS_DENIED, 0},
  };
  for (const Case& c : cases) {
    SetLastError(c.staleError);
    line.failReads = c.failReads;
    const int opens = line.opens;
    CardIdentity identity;
    EXPECT_EQ(devType(&identity), DevTypeResult::kModel) << c.name;
    EXPECT_EQ(identity.model, 5) << c.name;
    EXPECT_EQ(out.find("Failed to"), std::string::npos) << c.name;
    EXPECT_EQ(line.opens - opens, c.reopens) << c.name;
    // The reopened port has its line settings again.
    EXPECT_EQ(line.baud(), 115200u);
    EXPECT_EQ(line.dcb.fRtsControl, 0u);
    EXPECT_EQ(line.dcb.fOutX, 0u);
    EXPECT_EQ(line.dcb.fDtrControl, 1u);  // kept as the port reported it
  }
}

// A line that ends a flood of reopens: should the passes stop being paced,
// the virtual clock would stand still and the test would never end.
class FloodGuardLine : public FakeLine {
 public:
  std::unique_ptr<platform::Device> open(const std::string& name, DWORD* error) override {
    if (opens > 5000) {
      replug();
      openError = 0;
    }
    return FakeLine::open(name, error);
  }
};

TEST(IdentificationPace, RepeatsOnceASecondAndReportsAReopenFailureOncePerChange) {
  FloodGuardLine line;
  ScriptedCard card;
  line.setPeer(&card);
  auto link = testsupport::openTestLink();
  ASSERT_NE(link, nullptr);
  // Gone for 10 s, then held by another program for 10 s, then back but
  // naming an unknown model twice.
  int wrong = 2;
  card.onCommand = [&wrong](const std::string& cmd, FakeLine& l) {
    if (cmd == "#DEVERSION\r") l.deliver("#DEVERSION 2 2.0\r", 1);
    if (cmd == "#DEVTYPE\r") l.deliver(wrong-- > 0 ? "#DEVTYPE TOASTER\r" : "#DEVTYPE HDMITOSDI\r", 1);
  };
  const uint64_t start = line.now();
  line.vanish();
  card.scheduled.push_back({start + 10000, [](FakeLine& l) {
                              l.replug();
                              l.openError = ERROR_ACCESS_DENIED;
                            }});
  card.scheduled.push_back({start + 20000, [](FakeLine& l) { l.openError = 0; }});

  CardIdentity identity;
  testing::internal::CaptureStdout();
  EXPECT_EQ(identifyCard(*link, &identity), DevTypeResult::kModel);
  const std::string text = testing::internal::GetCapturedStdout();
  line.setPeer(nullptr);

  const uint64_t spent = line.now() - start;
  EXPECT_GE(spent, 22000u);
  EXPECT_LE(spent, 22100u);
  const std::size_t passes = count(text, "\nNow communicating");
  EXPECT_EQ(passes, 23u);  // one a second
  EXPECT_EQ(count(text, "\nERROR CARD MODEL UNKNOWN"), 2u);
  EXPECT_EQ(count(text, "Failed to open COM7 :  The COM port selected don't exist!\n"), 1u);
  EXPECT_EQ(count(text,
                  "Failed to open COM7 :  The COM port selected is already open by an other "
                  "program!\n"),
            1u);
  EXPECT_EQ(count(text, "\n"), passes + 2 + 8);  // each failure and its three set-up lines
  EXPECT_EQ(text.substr(text.size() - 2), "OK");
  EXPECT_EQ(identity.model, 4);
  EXPECT_TRUE(identity.plus());
}

TEST(IdentificationWithSimulatedCard, RepeatsNothingWhenTheCardAnswers) {
  FakeLine line;
  testsupport::SimPeer card(line, {"--model", "SL-SDITODVI", "--version", "2 4.0"});
  auto link = testsupport::openTestLink();
  ASSERT_NE(link, nullptr);
  CardIdentity identity;
  testing::internal::CaptureStdout();
  EXPECT_EQ(DevType(*link, &identity), DevTypeResult::kModel);
  EXPECT_EQ(identity.model, 3);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(line.writtenText(), "#DEVERSION\r#DEVTYPE\r");
  EXPECT_STREQ(identity.firmwareVersion, "4.0");
}

}  // namespace
