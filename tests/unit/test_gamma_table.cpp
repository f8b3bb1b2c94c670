// The gamma table file: line parsing, comments, ranges, the 1024 lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "jobs/gamma_table.h"

namespace {

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

}  // namespace
