// The card command exchange against a scripted card on the virtual clock.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "link/command_channel.h"
#include "link/serial_link.h"
#include "support/fake_line.h"
#include "support/scripted_card.h"

namespace {

using testsupport::FakeLine;
using CommandChannel = testsupport::CardLineTest;

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

}  // namespace
