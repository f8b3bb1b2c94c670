// The card command exchange against a scripted card on the virtual clock.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

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
    EXPECT_EQ(SendCmd(*link, "#DEVTYPE\r", 9, answer, sizeof answer), SendCmdResult::kAnswer)
        << c.reply;
    EXPECT_EQ(std::string(answer), c.expected);
  }
}

// What counts as the answer: bytes from before the command are dropped, and
// an answer counts once its CR has come, however it is spread over reads,
// even in the read that ends the 2000 ms window.
TEST_F(CommandChannel, AnswerCountsOnceItsCarriageReturnHasCome) {
  struct Piece {
    std::string text;
    uint64_t afterMs;  // after the command's last byte
  };
  struct Case {
    const char* name;
    std::string stale;  // waiting before the command
    const char* command;
    std::vector<Piece> pieces;
    std::string expected;
  };
  const Case cases[] = {
      {"spread over three reads", "#OLD LATE ANSWER\r", "#DEVERSION\r",
       {{"#DEVER", 5}, {"SION 2 3.1", 900}, {"\r", 1500}}, "#DEVERSION 2 3.1\r"},
      {"CR in the read that passes the window", "", "#DEVTYPE\r",
       {{"#ANSWER", 1}, {"\r", 2001}}, "#ANSWER\r"},
      // Nothing to send: the answer windows open all the same.
      {"empty command", "", "", {{"#LATE\r", 500}}, "#LATE\r"},
  };
  for (const Case& c : cases) {
    if (!c.stale.empty()) line.deliver(c.stale);
    line.written.clear();
    card.onCommand = [&c](const std::string& cmd, FakeLine& l) {
      EXPECT_EQ(cmd, c.command) << c.name;
      for (const Piece& p : c.pieces) l.deliver(p.text, p.afterMs);
    };
    const int length = static_cast<int>(std::strlen(c.command));
    // A command without its CR reaches no card: its pieces come on their own.
    if (length == 0)
      for (const Piece& p : c.pieces) line.deliver(p.text, 1000 + p.afterMs);
    char answer[60] = {0};
    EXPECT_EQ(SendCmd(*link, c.command, length, answer, sizeof answer), SendCmdResult::kAnswer)
        << c.name;
    EXPECT_STREQ(answer, c.expected.c_str()) << c.name;
    EXPECT_EQ(line.writtenText(), c.command) << c.name;
  }
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

TEST_F(CommandChannel, PortFailuresAreToldApartFromSilence) {
  struct Case {
    const char* name;
    std::function<void(FakeLine&)> fault;
    SendCmdResult result;
    const char* written;
    uint64_t maxMs;  // a failure is known at once, not after four windows
  };
  const Case cases[] = {
      {"a write call fails", [](FakeLine& l) { l.failWrites = 1; }, SendCmdResult::kPortFailure,
       "", 10},
      {"every read fails", [](FakeLine& l) { l.failReads = 100; }, SendCmdResult::kPortFailure,
       "#DEVTYPE\r", 10},
      {"the device vanished", [](FakeLine& l) { l.vanish(); }, SendCmdResult::kPortFailure, "",
       10},
      // A byte the port does not take within its write time-out (100 ms).
      {"the write stalls", [](FakeLine& l) { l.stallWrites = true; }, SendCmdResult::kNoAnswer,
       "", 150},
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
