#include <gtest/gtest.h>

#include "common/elapsed.h"
#include "common/ticks.h"
#include "support/fake_line.h"

namespace {

struct TimeCase {
  DWORD ms;
  int minutes;
  int seconds;
};

TEST(PrintTime, SinglePrecisionMinutesAsOperatorsKnowThem) {
  // The minutes pass through single precision, so many durations show one
  // second less than the exact remainder.
  const TimeCase cases[] = {{0, 0, 0},      {999, 0, 0},     {17000, 0, 16},  {30000, 0, 30},
                            {59000, 0, 59}, {60000, 1, 0},   {61000, 1, 0},   {90000, 1, 30},
                            {125000, 2, 4}, {3599999, 59, 59}};
  for (const TimeCase& c : cases) {
    int m = -1, s = -1;
    elapsedMinutesSeconds(c.ms, &m, &s);
    EXPECT_EQ(m, c.minutes) << c.ms;
    EXPECT_EQ(s, c.seconds) << c.ms;
  }
}

TEST(PrintTime, PrintsTheTotalAndThePlainLine) {
  testsupport::FakeLine line;
  DWORD begin = GetTickCount();
  line.advanceTo(line.now() + 17000);
  testing::internal::CaptureStdout();
  printTime(begin, 1);
  printTime(begin, 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "\nTotal Time : 0 minutes 16 seconds\n\nTime : 0 minutes 16 seconds\n");
}

TEST(TickDeadline, StaysRightAcrossTheWrapOfTheCounter) {
  testsupport::FakeLine line(0xFFFFFF00u);  // 256 ms before the counter wraps
  DWORD deadline = deadlineIn(1000);       // lies after the wrap
  EXPECT_LT(deadline, 0x1000u);
  EXPECT_FALSE(deadlinePassed(deadline));
  line.advanceTo(999);
  EXPECT_FALSE(deadlinePassed(deadline));
  line.advanceTo(1000);
  EXPECT_FALSE(deadlinePassed(deadline));  // passed only once beyond it
  line.advanceTo(1001);
  EXPECT_TRUE(deadlinePassed(deadline));
  EXPECT_FALSE(tickPassed(0xFFFFFFF0u, 0x10u));
  EXPECT_TRUE(tickPassed(0x11u, 0xFFFFFFF0u));
}

}  // namespace
