// Micro commands ("=MP\r" ... answered "=M*") against a scripted card on the
// virtual clock, and how every writer of the card's text reports a failed
// write.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "jobs/modes.h"
#include "link/micro_command.h"
#include "link/serial_link.h"
#include "support/fake_line.h"
#include "support/scratch_dir.h"
#include "support/scripted_vxp.h"

namespace {

using testsupport::FakeLine;
using MicroCommand = testsupport::IspLineTest;

TEST_F(MicroCommand, AnswersFoundInNoiseAndRefusalsSaid) {
  const unsigned char cmd[] = "=MP\r";
  struct Case {
    std::string reply;
    bool accepted;
    std::string out;
  };
  const Case cases[] = {
      {"xx=M*", true, ""},
      {"==M*", true, ""},
      {"=X=M*", true, ""},
      {"=M~", false, "Invalid command from micro ...\n\n=MP\r\n"},
      {"=MZ", false, "Invalid answer from micro ... Z\n\n=MP\r\n"},
  };
  for (const Case& c : cases) {
    card.answerMicro = [&](char, FakeLine& l) { l.deliver(c.reply, 3); };
    testing::internal::CaptureStdout();
    EXPECT_EQ(sendMicroCmd(*link, cmd, 4), c.accepted) << c.reply;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out) << c.reply;
  }
  EXPECT_EQ(card.micros, "PPPPP");

  // A port that takes the command two bytes at a time still sends it whole.
  line.shortWriteLimit = 2;
  card.answerMicro = [](char, FakeLine& l) { l.deliver("=M*", 3); };
  EXPECT_TRUE(sendMicroCmd(*link, cmd, 4));
  EXPECT_EQ(card.micros, "PPPPPP");
}

// A write that fails is said, whoever writes: the micro command, MICRO's
// hand-over to the boot program, a REMOTE script line.
TEST_F(MicroCommand, FailedWritesAreReportedByEveryWriter) {
  testsupport::ScratchDir dir;
  const std::string script = dir.write("remote.txt", "#X 1\n");
  const unsigned char cmd[] = "=MP\r";
  struct Case {
    const char* name;
    std::function<bool()> run;  // true: the job reported failure
    bool stall;
    std::string message;
  };
  const Case cases[] = {
      {"micro command", [&] { return !sendMicroCmd(*link, cmd, 4); }, false,
       "Unable to send command =MP : error 31\n"},
      {"micro command, card stopped reading", [&] { return !sendMicroCmd(*link, cmd, 4); },
       true, "Unable to send command =MP : the card stopped reading\n"},
      {"MICRO hand-over", [&] { return ProgramMicro(*link) == Outcome::Failure; }, false,
       "Failed to send #MICROMODE : error 31\n"},
      {"REMOTE line", [&] { return Remote(*link, script.c_str()) == Outcome::Failure; }, false,
       "\nFailed to write data : error 31\n"},
  };
  for (const Case& c : cases) {
    line.failWrites = c.stall ? 0 : 1;
    line.stallWrites = c.stall;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(c.run()) << c.name;
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(c.message), std::string::npos) << c.name << ": " << out;
  }
  line.stallWrites = false;
  EXPECT_TRUE(card.micros.empty());
}

TEST_F(MicroCommand, DrainsStaleInputAndWaitsSixTimes) {
  const unsigned char cmd[] = "=MR\r";
  // A stale refusal waiting before the command is drained, not taken.
  line.deliver("=M~");
  card.answerMicro = [](char, FakeLine& l) { l.deliver("=M*", 25000); };
  testing::internal::CaptureStdout();
  EXPECT_TRUE(sendMicroCmd(*link, cmd, 4));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Timeout. Retry...SEndMicro\nTimeout. Retry...SEndMicro\n");

  // Silence: five time-out lines, then the give-up line after 60 s.
  card.answerMicro = nullptr;
  const uint64_t start = line.now();
  testing::internal::CaptureStdout();
  EXPECT_FALSE(sendMicroCmd(*link, cmd, 4));
  std::string expected;
  for (int k = 0; k < 5; ++k) expected += "Timeout. Retry...SEndMicro\n";
  expected += "Unable to send command. Exit. SendMicro\n";
  EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
  EXPECT_GE(line.now() - start, 60000u);
  EXPECT_LE(line.now() - start, 60100u);
  EXPECT_EQ(card.micros, "RR");  // never sent twice
}

}  // namespace
