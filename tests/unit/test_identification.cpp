// Card identification (version, model, the old firmware, a silent card, a
// vanished port) against a scripted or simulated card on the virtual clock.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "link/identification.h"
#include "link/serial_link.h"
#include "platform/posix_device.h"
#include "support/fake_line.h"
#include "support/scripted_card.h"
#include "support/sim_peer.h"
#include "support/updater_run.h"

namespace {

using testsupport::count;
using testsupport::FakeLine;
using testsupport::ScriptedCard;

class Identification : public testsupport::CardLineTest {
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

// A card silent for a minute gets one hint on standard error, however long
// it stays silent; one that answers within the minute gets none.
TEST(IdentificationPace, HintOnceWhenTheCardIsSilentForAMinute) {
  const std::pair<uint64_t, std::size_t> cases[] = {{50000, 0}, {70000, 1}, {400000, 1}};
  for (const auto& [silentMs, hints] : cases) {
    FakeLine line;
    ScriptedCard card;
    line.setPeer(&card);
    auto link = testsupport::openTestLink();
    ASSERT_NE(link, nullptr);
    card.scheduled.push_back({line.now() + silentMs, [&card](FakeLine&) {
                                card.onCommand = [](const std::string& cmd, FakeLine& l) {
                                  if (cmd == "#DEVERSION\r") l.deliver("#DEVERSION 2 2.0\r", 1);
                                  if (cmd == "#DEVTYPE\r") l.deliver("#DEVTYPE HDMITOSDI\r", 1);
                                };
                              }});
    CardIdentity identity;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(identifyCard(*link, &identity), DevTypeResult::kModel) << silentMs;
    testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    line.setPeer(nullptr);
    EXPECT_EQ(count(err, "hint: the card has not answered for a minute: check its power, the "
                         "cable and that it is on COM7; Ctrl-C ends the run\n"),
              hints)
        << silentMs << ": " << err;
  }
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
