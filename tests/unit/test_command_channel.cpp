// The card command exchange and identification against a scripted line on
// the virtual clock.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "link/command_channel.h"
#include "link/identification.h"
#include "link/serial_port.h"
#include "support/fake_line.h"
#include "support/sim_peer.h"
#include "support/updater_run.h"

namespace {

using testsupport::FakeLine;

// A peer that answers each complete command with a scripted reply.
class ScriptedCard : public testsupport::Peer {
 public:
  std::function<void(const std::string&, FakeLine&)> onCommand;
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
};

class CommandChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testsupport::openTestPort());
    line.setPeer(&card);
  }
  void TearDown() override {
    line.setPeer(nullptr);
    closePort();
  }
  FakeLine line;
  ScriptedCard card;
};

TEST_F(CommandChannel, PortSetUpGivesPollingLineSettings) {
  EXPECT_EQ(line.baud(), 115200u);
  EXPECT_EQ(line.dcb.ByteSize, 8);
  EXPECT_EQ(line.dcb.Parity, 0);
  EXPECT_EQ(line.dcb.StopBits, 0);
  EXPECT_EQ(line.dcb.fRtsControl, 0u);
  EXPECT_EQ(line.dcb.fDtrControl, 1u);  // kept as the port reported it
  EXPECT_EQ(line.dcb.fOutX, 0u);        // no software flow control
  EXPECT_EQ(line.timeouts.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(line.timeouts.ReadTotalTimeoutMultiplier, MAXDWORD);
  EXPECT_EQ(line.timeouts.ReadTotalTimeoutConstant, 1u);
  EXPECT_EQ(line.timeouts.WriteTotalTimeoutMultiplier, 100u);
  EXPECT_EQ(line.timeouts.WriteTotalTimeoutConstant, 0u);
}

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
    EXPECT_EQ(SendCmd("#DEVTYPE\r", 9, answer, sizeof answer), 1) << c.reply;
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
  EXPECT_EQ(SendCmd("#DEVERSION\r", 11, answer, sizeof answer), 1);
  EXPECT_STREQ(answer, "#DEVERSION 2 3.1\r");
}

TEST_F(CommandChannel, SilentCardCostsFourAnswerWindows) {
  char answer[60] = {0};
  uint64_t start = line.now();
  EXPECT_EQ(SendCmd("#DEVTYPE\r", 9, answer, sizeof answer), 0);
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
  EXPECT_EQ(SendCmd("#DEVTYPE\r", 9, answer, 60), 0);
  for (int i = 60; i < 80; ++i) EXPECT_EQ(answer[i], 0x5A) << i;
}

TEST_F(CommandChannel, CarriageReturnInTheReadThatTimesOutStillCompletes) {
  char answer[60] = {0};
  line.deliver("#ANSWER", 1);
  // The CR arrives in the read that passes the 2000 ms deadline.
  line.deliver("\r", 2001);
  EXPECT_EQ(ReadCmd(answer, sizeof answer), kReadCmdComplete);
}

TEST_F(CommandChannel, ZeroLengthCommandSendsNothingAndStillWaits) {
  line.deliver("#LATE\r", 1500);  // arrives after the 1000 ms drain window
  char answer[60] = {0};
  // The drain reads until quiet; the answer then comes within the window.
  EXPECT_EQ(SendCmd("", 0, answer, sizeof answer), 1);
  EXPECT_TRUE(line.written.empty());
}

class Identification : public CommandChannel {};

TEST_F(Identification, SixModelsWithVariantAndVersion) {
  const char* answers[] = {"DVITOSDI", "SDITODVI", "SL-SDITODVI", "HDMITOSDI", "SDITOHDMI", "SL-SDITOHDMI"};
  for (int model = 1; model <= 6; ++model) {
    card.onCommand = [&](const std::string& cmd, FakeLine& l) {
      if (cmd == "#DEVERSION\r") l.deliver("#DEVERSION 2 3.1.4beta77\r", 2);
      if (cmd == "#DEVTYPE\r") l.deliver(std::string("#DEVTYPE ") + answers[model - 1] + "\r", 2);
    };
    testing::internal::CaptureStdout();
    EXPECT_EQ(DevType(), model);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nNow communicating with the card to obtain version information...OK");
    EXPECT_EQ(cardVersion, 2);
    EXPECT_STREQ(RDVersion, "3.1.4beta");  // kept to 9 characters
  }
}

TEST_F(Identification, ModelAnswerMustMatchExactly) {
  for (const char* reply : {"#DEVTYPE HDMITOSDI \r", "#DEVTYPE hdmitosdi\r", "#DEVTYPE\r"}) {
    card.onCommand = [&](const std::string& cmd, FakeLine& l) {
      l.deliver(cmd == "#DEVTYPE\r" ? reply : "#DEVERSION 1 2.0\r", 1);
    };
    testing::internal::CaptureStdout();
    EXPECT_EQ(DevType(), kDevUnknownModel) << reply;
    EXPECT_NE(testing::internal::GetCapturedStdout().find("\nERROR CARD MODEL UNKNOWN"),
              std::string::npos);
  }
}

TEST_F(Identification, VersionUnreadIsMarked) {
  card.onCommand = [](const std::string& cmd, FakeLine& l) {
    if (cmd == "#DEVERSION\r") l.deliver("#DEVERSON 2 3.1\r", 1);
    if (cmd == "#DEVTYPE\r") l.deliver("#DEVTYPE DVITOSDI\r", 1);
  };
  testing::internal::CaptureStdout();
  EXPECT_EQ(DevType(), 1);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(cardVersion, 69);
  EXPECT_EQ(RDVersion[0], 'E');
}

TEST_F(Identification, OldFirmwareAndSilenceAreToldApart) {
  // An old firmware answers its version, not its model, and its menu keys.
  card.onCommand = [](const std::string& cmd, FakeLine& l) {
    if (cmd == "#DEVERSION\r") l.deliver("#DEVERSION 1 1.0\r", 1);
    if (cmd == "\r") l.deliver("\r\nMENU>", 1);
  };
  testing::internal::CaptureStdout();
  EXPECT_EQ(DevType(), kDevOldFirmware);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("\nYou are using an old firmware version..."),
            std::string::npos);
  EXPECT_NE(line.writtenText().find("#DEVTYPE\r\r1$"), std::string::npos);

  // A silent card: 15 version requests, one model request, the keys.
  card.onCommand = nullptr;
  line.written.clear();
  uint64_t start = line.now();
  testing::internal::CaptureStdout();
  EXPECT_EQ(DevType(), kDevNoCommunication);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("\nError no communication with the device"),
            std::string::npos);
  std::string w = line.writtenText();
  std::size_t versions = 0;
  for (std::size_t p = w.find("#DEVERSION\r"); p != std::string::npos; p = w.find("#DEVERSION\r", p + 1))
    ++versions;
  EXPECT_EQ(versions, 15u);
  EXPECT_GE(line.now() - start, 15u * 8000u + 8000u + 1500u);
}

TEST_F(Identification, ReadErrorReopensThePort) {
  card.onCommand = [](const std::string& cmd, FakeLine& l) {
    if (cmd == "#DEVERSION\r") l.deliver("#DEVERSION 1 2.0\r", 1);
    if (cmd == "#DEVTYPE\r") l.deliver("#DEVTYPE SDITOHDMI\r", 1);
  };
  SetLastError(0);
  line.failReads = 8;  // the device vanishes for the first request's reads
  int opensBefore = line.opens;
  testing::internal::CaptureStdout();
  EXPECT_EQ(DevType(), 5);
  testing::internal::GetCapturedStdout();
  // The error code is never cleared, so the request that succeeds after the
  // first reopen reopens the port once more, as it would on Windows.
  EXPECT_EQ(line.opens, opensBefore + 2);
  EXPECT_EQ(line.baud(), 115200u);  // the reopened port has its settings again
}

TEST(IdentificationWithSimulatedCard, RepeatsNothingWhenTheCardAnswers) {
  FakeLine line;
  testsupport::SimPeer card(line, {"--model", "SL-SDITODVI", "--version", "2 4.0"});
  ASSERT_TRUE(testsupport::openTestPort());
  testing::internal::CaptureStdout();
  EXPECT_EQ(DevType(), 3);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(line.writtenText(), "#DEVERSION\r#DEVTYPE\r");
  EXPECT_STREQ(RDVersion, "4.0");
  closePort();
}

}  // namespace
