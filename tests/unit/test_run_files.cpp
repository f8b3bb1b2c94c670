// The files a run touches: two names of one file found to be one, a backup
// that is whole or absent (created new, never through a link, renamed
// without replacing), text from outside printed safely, and the last lines
// that Ctrl-C leaves.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

#include "common/printable.h"
#include "frontend/fleet.h"
#include "frontend/run_files.h"
#include "frontend/run_report.h"
#include "platform/files.h"
#include "platform/interrupt_ending_text.h"
#include "support/scratch_dir.h"

namespace {

std::string contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(RunFiles, NamesOfOneFileAreOneWhateverTheirSpelling) {
  testsupport::ScratchDir dir;
  const testsupport::ScopedWorkingDir inside(dir.path());
  dir.write("Device5.bin", "image");
  ASSERT_EQ(link("Device5.bin", "hard.bin"), 0);
  ASSERT_EQ(symlink("Device5.bin", "soft.log"), 0);
  ASSERT_EQ(symlink("later.bin", "dangling.log"), 0);
  mkdir("sub", 0755);
  struct Case {
    const char* a;
    const char* b;
    bool same;
  };
  const Case cases[] = {
      {"Device5.bin", "./Device5.bin", true},
      {"Device5.bin", "sub/../Device5.bin", true},
      {"Device5.bin", "hard.bin", true},             // a second name, same inode
      {"Device5.bin", "soft.log", true},             // a link to it
      {"later.bin", "./later.bin", true},            // neither made yet
      {"later.bin", "dangling.log", true},           // a link to a file still to be made
      {"later.bin", "later.bin.part", false},
      {"Device5.bin", "Device5.bin.part", false},
      {"Device5.bin", "sub/Device5.bin", false},
  };
  for (const Case& c : cases) EXPECT_EQ(sameFile(c.a, c.b), c.same) << c.a << " " << c.b;
}

TEST(RunFiles, ATraceThatIsAFileOfTheRunIsRefused) {
  testsupport::ScratchDir dir;
  const testsupport::ScopedWorkingDir inside(dir.path());
  dir.write("Device5.bin", "");
  struct Case {
    const char* keyword;
    const char* file;
    const char* backup;
    const char* trace;
    const char* why;  // empty: accepted
  };
  const Case cases[] = {
      {"READ", "", "b.bin", "b.bin.part", "it is the file the run writes"},
      {"READ", "", "b.bin", "./b.bin", "it is the file the run writes"},
      {"READ", "", "b.bin", "b.log", ""},
      {"VERIFY", "Device5.bin", "", "./Device5.bin", "it is Device5.bin, which the run reads"},
      {"VIPER", "Device5.bin", "", "FDriver.bin", "it is FDriver.bin, which the run reads"},
      {"VIPER", "Device1.bin", "", "FDriver.bin", ""},  // device 1 takes SFDriver.bin
      {"MICRO", "", "", "Genm7144.cde", "it is Genm7144.cde, which the run reads"},
      {"ALL", "", "", "fpga.xsvf", "it is fpga.xsvf, which the run reads"},
      {"STATUS", "", "", "Device5.bin", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(traceClash(c.keyword, c.file, c.backup, c.trace), c.why) << c.keyword << " "
                                                                        << c.trace;
}

TEST(RunFiles, BackupIsCreatedNewAndRenamedWithoutReplacing) {
  testsupport::ScratchDir dir;
  const std::string part = dir.file("b.bin.part"), final = dir.file("b.bin");
  std::string why;

  // A link where the temporary goes is neither followed nor removed.
  dir.write("victim.txt", "victim");
  ASSERT_EQ(symlink("victim.txt", part.c_str()), 0);
  EXPECT_EQ(platform::removeStaleFile(part.c_str(), &why), platform::StaleFile::Refused);
  {
    platform::NewFile file;
    EXPECT_FALSE(file.create(part.c_str(), &why)) << "a link was followed";
  }
  EXPECT_EQ(contents(dir.file("victim.txt")), "victim");
  unlink(part.c_str());

  // A stale regular file goes; the new one is written, flushed and renamed.
  dir.write("b.bin.part", "stale");
  EXPECT_EQ(platform::removeStaleFile(part.c_str(), &why), platform::StaleFile::Removed);
  EXPECT_EQ(platform::removeStaleFile(part.c_str(), &why), platform::StaleFile::Absent);
  platform::NewFile file;
  ASSERT_TRUE(file.create(part.c_str(), &why)) << why;
  EXPECT_TRUE(file.write("backup", 6, &why));
  EXPECT_TRUE(file.flushToDisk(&why));
  EXPECT_TRUE(file.close(&why));

  // A file that appeared under the final name is never replaced.
  dir.write("b.bin", "someone else's");
  EXPECT_FALSE(platform::renameWithoutReplacing(part.c_str(), final.c_str(), &why));
  EXPECT_EQ(contents(final), "someone else's");
  unlink(final.c_str());
  EXPECT_TRUE(platform::renameWithoutReplacing(part.c_str(), final.c_str(), &why)) << why;
  EXPECT_EQ(contents(final), "backup");
  EXPECT_FALSE(platform::identifyFile(part.c_str()).exists());
  EXPECT_TRUE(platform::syncFolderOf(final.c_str()));
}

TEST(RunFiles, FilesThatAreNotRegularAreKnownAsSuch) {
  testsupport::ScratchDir dir;
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  using Kind = platform::FileIdentity::Kind;
  EXPECT_EQ(platform::identifyFile("/dev/zero").kind, Kind::Other);
  EXPECT_EQ(platform::identifyFile(fifo.c_str()).kind, Kind::Other);
  EXPECT_EQ(platform::identifyFile(dir.path().c_str()).kind, Kind::Directory);
  EXPECT_EQ(platform::identifyFile(dir.write("f", "x").c_str()).kind, Kind::Regular);
  EXPECT_EQ(platform::identifyFile(dir.file("none").c_str()).kind, Kind::Missing);
}

TEST(RunFiles, OnePortUnderTwoNamesIsRefused) {
  testsupport::ScratchDir dir;
  const std::string device = dir.write("tty", "");
  const std::string link = dir.file("link");
  ASSERT_EQ(symlink(device.c_str(), link.c_str()), 0);
  setenv("UPDATER_PORT_COMX1", device.c_str(), 1);
  setenv("UPDATER_PORT_COMX2", link.c_str(), 1);
  setenv("UPDATER_PORT_COMX3", dir.file("other").c_str(), 1);
  std::string refusal;
  EXPECT_TRUE(fleet::refuseOnePortTwice({"COMX1", "COMX3", "COMX2"}, &refusal));
  EXPECT_EQ(refusal, "Ports COMX1 and COMX2 are the same device (" + device + ").\n");
  EXPECT_FALSE(fleet::refuseOnePortTwice({"COMX1", "COMX3"}, &refusal));
  for (const char* name : {"UPDATER_PORT_COMX1", "UPDATER_PORT_COMX2", "UPDATER_PORT_COMX3"})
    unsetenv(name);
}

TEST(Printable, ControlBytesAndBrokenUtf8AreShownEscaped) {
  const struct {
    std::string text, shown;
  } cases[] = {
      {"Device5.bin", "Device5.bin"},
      {"caf\xC3\xA9 \xE2\x82\xAC", "caf\xC3\xA9 \xE2\x82\xAC"},  // UTF-8 stays
      {"\x1B]0;owned\x07", "\\x1B]0;owned\\x07"},                // a title change
      {"a\rb\nc\x7F", "a\\x0Db\\x0Ac\\x7F"},
      {"\xC2\x9B" "2J", "\\xC2\\x9B2J"},  // C1 CSI, as a terminal reads it
      {"\xFF\xC3", "\\xFF\\xC3"},         // not UTF-8, and a sequence cut short
  };
  for (const auto& c : cases) EXPECT_EQ(printable(c.text), c.shown) << c.shown;
}

TEST(InterruptEnding, LastLinesCarryTheTimeOfTheInterrupt) {
  const auto start = std::chrono::steady_clock::time_point(std::chrono::seconds(100));
  const int64_t startNs = 100'000'000'000;
  platform::interrupt_text::publish(7, start, "run ended: exit status 130", "{\"s\":", start,
                                    ",\"t\":1}");
  const platform::interrupt_text::Slot* slot = platform::interrupt_text::current();
  ASSERT_NE(slot, nullptr);
  char line[256];
  const struct {
    int64_t afterNs;
    const char* trace;
    const char* result;
  } cases[] = {
      {0, "     0.000  # run ended: exit status 130\n", "\n{\"s\":0.000,\"t\":1}\n"},
      {1'234'567, "     1.234  # run ended: exit status 130\n", "\n{\"s\":0.001,\"t\":1}\n"},
      {98'765'432'100, " 98765.432  # run ended: exit status 130\n",
       "\n{\"s\":98.765,\"t\":1}\n"},
  };
  for (const auto& c : cases) {
    const int64_t now = startNs + c.afterNs;
    std::size_t n = platform::interrupt_text::traceLine(*slot, now, line, sizeof line);
    EXPECT_EQ(std::string(line, n), c.trace);
    n = platform::interrupt_text::resultLine(*slot, now, line, sizeof line);
    EXPECT_EQ(std::string(line, n), c.result);
  }
  platform::interrupt_text::clear();
  EXPECT_EQ(platform::interrupt_text::current(), nullptr);
}

TEST(InterruptEnding, InterruptedResultIsTheRunsObjectWithItsOwnOutcome) {
  RunReport report("2.30");
  report.setPort("COM7");
  report.setMode("READ");
  report.setFile("b\"elapsed_seconds\":.bin");
  report.atStep("mode");
  std::string head, tail;
  report.interruptedJson(&head, &tail);
  EXPECT_EQ(head.substr(head.size() - 19), ",\"elapsed_seconds\":");
  EXPECT_EQ(head + "2.5" + tail,
            R"({"version":"2.30","port":"COM7","mode":"READ","file":"b\"elapsed_seconds\":.bin",)"
            R"("file_size":null,"file_sha256":null,"card_model":null,"card_variant":null,)"
            R"("card_plus":null,"firmware_version":null,"outcome":"interrupted",)"
            R"("exit_status":130,"elapsed_seconds":2.5,"failed_step":"mode",)"
            R"J("message":"interrupted (Ctrl-C)"})J");
}

}  // namespace
