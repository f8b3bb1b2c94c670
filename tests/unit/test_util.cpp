#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "util/util.h"

namespace {

TEST(StrHexTolong, TwoUpperCaseDigitsAtMostAndStopsAtAnythingElse) {
  const std::pair<const char*, unsigned> cases[] = {
      {"3F", 0x3F}, {"A0", 0xA0}, {"FF", 0xFF}, {"00", 0x00},
      {"F", 0x0F},                // F then NUL
      {"5a", 0x05},               // lower case stops, keeping what was built
      {"a5", 0x00}, {"0a", 0x00}, {"G1", 0x00},
      {":1", 0x00}, {"@1", 0x00},  // between '9' and 'A'
      {"123", 0x12},              // never a third character
      {"", 0x00},   {"\xC1" "1", 0x00},
  };
  for (const auto& c : cases) {
    unsigned char value = 0xEE;
    strHexTolong(&value, c.first);
    EXPECT_EQ(value, c.second) << c.first;
  }
}

TEST(StrDecTolong, TwoDigitsAtMost) {
  const std::pair<const char*, int32_t> cases[] = {
      {"09", 9}, {"999", 99}, {"123", 12}, {"7x", 7}, {"", 0}, {"x7", 0}, {"\xB5" "1", 0}};
  for (const auto& c : cases) {
    int32_t v = -5;
    strDecTolong(&v, c.first);
    EXPECT_EQ(v, c.second) << c.first;
  }
}

TEST(NumberToText, DecimalAndHexWithoutSignPrefixOrLeadingZeros) {
  char text[16];
  longToDecStr(0, text);
  EXPECT_STREQ(text, "0");
  longToDecStr(2147483647, text);
  EXPECT_STREQ(text, "2147483647");
  longToDecStr(1000, text);
  EXPECT_STREQ(text, "1000");
  longToDecStr(-1, text);
  EXPECT_STREQ(text, "");

  longToHexStr(255, text);
  EXPECT_STREQ(text, "FF");
  longToHexStr(0x7FFFFFFF, text);
  EXPECT_STREQ(text, "7FFFFFFF");
  longToHexStr(0xABCDE, text);
  EXPECT_STREQ(text, "ABCDE");
  longToHexStr(0, text);
  EXPECT_STREQ(text, "0");
  longToHexStr(-1, text);
  EXPECT_STREQ(text, "");
}

TEST(Find, FirstMatchOrMinusOneAndNulGivesTheLength) {
  EXPECT_EQ(find(':', "COM1:"), 4);
  EXPECT_EQ(find('x', "COM1"), -1);
  EXPECT_EQ(find('\0', "COM1"), 4);
  EXPECT_EQ(find('C', "COM1"), 0);
  EXPECT_EQ(find(0x100 + 'O', "COM1"), 1);  // only the low byte counts
}

TEST(Find, IndexStaysWithinSixteenBits) {
  std::string text(40000, 'a');
  text[32767] = 'b';
  text[32768] = 'c';
  EXPECT_EQ(find('b', text.c_str()), 32767);
  EXPECT_EQ(find('c', text.c_str()), -1);  // beyond the 16-bit index
  EXPECT_EQ(find('\0', text.c_str()), -1);
}

}  // namespace

// Port names and keywords match in any case; only a to z change, so a name
// with other bytes is never mangled into one that matches.
TEST(UpperCase, OnlyTheLettersAToZChange) {
  const std::pair<const char*, const char*> cases[] = {
      {"com7", "COM7"}, {"Micro", "MICRO"}, {"comusb0", "COMUSB0"},
      {"a-z_09{}", "A-Z_09{}"}, {"\xE9t\xE9", "\xE9T\xE9"}, {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(upperCase(c.first), c.second) << c.first;
}
