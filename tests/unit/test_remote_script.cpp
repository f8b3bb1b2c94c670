// The command script's lines: commands, messages, key stops and pauses.
#include <gtest/gtest.h>

#include "jobs/remote_script.h"

namespace {

TEST(ScriptLines, FirstCharacterDecides) {
  EXPECT_EQ(scriptLineKind("#X 1\r\n"), ScriptLine::Command);
  EXPECT_EQ(scriptLineKind("@hello\n"), ScriptLine::Message);
  EXPECT_EQ(scriptLineKind("$\n"), ScriptLine::KeyStop);
  EXPECT_EQ(scriptLineKind("&100\n"), ScriptLine::Pause);
  EXPECT_EQ(scriptLineKind("\n"), ScriptLine::Comment);
  EXPECT_EQ(scriptLineKind(""), ScriptLine::Comment);
  EXPECT_EQ(scriptLineKind(" #X 1"), ScriptLine::Comment);
  EXPECT_EQ(scriptLineKind("; note"), ScriptLine::Comment);
}

TEST(ScriptLines, CommandEndsBeforeItsLineEnd) {
  EXPECT_EQ(commandLength("#X 1\r\n"), 4u);
  EXPECT_EQ(commandLength("#X 1\n"), 4u);
  EXPECT_EQ(commandLength("#X 1"), 4u);
  EXPECT_EQ(commandLength("#A\rB\n"), 2u);
}

TEST(ScriptLines, PauseWithoutNumberKeepsTheLastOne) {
  int wait = 0;
  EXPECT_FALSE(readPause("&\n", &wait));
  EXPECT_EQ(wait, 0);
  EXPECT_TRUE(readPause("&250\n", &wait));
  EXPECT_EQ(wait, 250);
  EXPECT_FALSE(readPause("&\r\n", &wait));
  EXPECT_EQ(wait, 250);
  EXPECT_FALSE(readPause("&ms\n", &wait));
  EXPECT_EQ(wait, 250);
  EXPECT_TRUE(readPause("& 40 ms\n", &wait));
  EXPECT_EQ(wait, 40);
  EXPECT_TRUE(readPause("&-5\n", &wait));  // never a 49-day sleep
  EXPECT_EQ(wait, 0);
}

}  // namespace
