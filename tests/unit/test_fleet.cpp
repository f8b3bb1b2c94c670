// Several ports in one run: the port list, the children's command lines,
// how their output is cut and shown, their results, the summary and the
// exit status; and the whole parent against small shell scripts standing
// in for the child updaters.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "frontend/fleet.h"
#include "frontend/progress_report.h"
#include "platform/child_process.h"
#include "support/scratch_dir.h"

namespace {

using fleet::LineSplitter;

TEST(FleetPortList, SplitsUpperCasesAndRefusesBeforeAnythingStarts) {
  struct Case {
    const char* argument;
    std::vector<std::string> ports;  // empty: refused
    const char* refusal;
  };
  const Case cases[] = {
      {"COM3,COM4,COMUSB0", {"COM3", "COM4", "COMUSB0"}, ""},
      {"com3,Com10", {"COM3", "COM10"}, ""},
      {"COM3,com3", {}, "Port COM3 is listed twice.\n"},
      {"COM3,COM4,COM3", {}, "Port COM3 is listed twice.\n"},
      {"COM3,", {}, "Must be COMXX\n"},
      {"COM3,,COM4", {}, "Must be COMXX\n"},
      {"COM3,LPT1", {}, "Must be COMXX\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> ports;
    std::string refusal;
    const bool accepted = fleet::splitPortList(c.argument, &ports, &refusal);
    EXPECT_EQ(accepted, !c.ports.empty()) << c.argument;
    if (accepted)
      EXPECT_EQ(ports, c.ports) << c.argument;
    else
      EXPECT_EQ(refusal, c.refusal) << c.argument;
  }
}

TEST(FleetCommandLine, OnlyACommaInThePortArgumentMakesAFleetRun) {
  struct Case {
    std::vector<std::string> args;
    bool fleet;
  };
  const Case cases[] = {
      {{"updater", "COM3,COM4", "VIPER", "Device5.bin"}, true},
      {{"updater", "--json", "--trace", "t.log", "COM3,COM4", "STATUS"}, true},
      {{"updater", "--trace", "a,b.log", "COM3", "STATUS"}, false},
      {{"updater", "COM3", "REMOTE", "a,b.txt"}, false},
      {{"updater", "--trace"}, false},
      {{"updater"}, false},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    EXPECT_EQ(isFleetCommandLine(static_cast<int>(argv.size()), argv.data()), c.fleet)
        << args.back();
  }
}

TEST(FleetCommandLine, ChildGetsOnePortItsOwnOutputFilesAndJson) {
  EXPECT_EQ(fleet::perPortFileName("trace.log", "COM3"), "trace-COM3.log");
  EXPECT_EQ(fleet::perPortFileName("backup.tar.gz", "COM3"), "backup.tar-COM3.gz");
  EXPECT_EQ(fleet::perPortFileName("logs.d/trace", "COM3"), "logs.d/trace-COM3");
  EXPECT_EQ(fleet::perPortFileName("C:\\logs.d\\.trace", "COM3"), "C:\\logs.d\\.trace-COM3");

  const std::vector<std::string> viper = {"updater", "--trace", "t.log", "COM3,COM4",
                                          "VIPER",   "Device5.bin", "--verify"};
  EXPECT_EQ(fleet::childArguments(viper, {3, 4, 5}, "COM4"),
            (std::vector<std::string>{"updater", "--trace", "t-COM4.log", "COM4", "VIPER",
                                      "Device5.bin", "--verify", "--json"}));
  const std::vector<std::string> read = {"updater", "COM3,COM4", "read", "5",
                                         "b.bin",   "--json",    "--trace=x"};
  EXPECT_EQ(fleet::childArguments(read, {1, 2, 3, 4}, "COM3"),
            (std::vector<std::string>{"updater", "COM3", "read", "5", "b-COM3.bin", "--json",
                                      "--trace=x-COM3"}));
}

TEST(FleetCommandLine, WindowsQuotingGivesBackTheArguments) {
  struct Case {
    std::vector<std::string> args;
    const char* line;
  };
  const Case cases[] = {
      {{"updater.exe", "COM3", "VIPER"}, "updater.exe COM3 VIPER"},
      {{"C:\\Program Files\\u.exe", ""}, "\"C:\\Program Files\\u.exe\" \"\""},
      {{"a\"b", "c d\\", "e\\\\\"f"}, "\"a\\\"b\" \"c d\\\\\" \"e\\\\\\\\\\\"f\""},
      {{"x\\y"}, "x\\y"},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::windowsCommandLine(c.args), c.line);
}

TEST(FleetOutput, LinesRenderAsAConsoleShowsThem) {
  struct Case {
    const char* raw;
    const char* shown;
  };
  const Case cases[] = {
      {"\t\t\t\t\t\t\t*\r*\t\t\tHDMI TO SDI",
       "*                       HDMI TO SDI                     *"},
      // The tabs after the completion wipe out the longer progress line.
      {"Job at 33.07 %\rJob at 100%\t\t\t\t", "Job at 100%"},
      {"a\tb", "a       b"},
      {"bell\a and\x1b escape  ", "bell and escape"},
      {"line from Windows\r", "line from Windows"},
  };
  for (const Case& c : cases) EXPECT_EQ(fleet::renderLine(c.raw), c.shown) << c.raw;
}

std::vector<std::string> split(const std::vector<std::string>& chunks, LineSplitter* splitter) {
  std::vector<std::string> lines;
  for (const std::string& chunk : chunks) splitter->feed(chunk, &lines);
  return lines;
}

std::string describe(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += "|" + line;
  return text;
}

TEST(FleetOutput, LinesAreCutAsTheConsoleLeavesThem) {
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    const char* lines;
  };
  const Case cases[] = {
      {"a progress line shows once finished, as the console leaves it",
       {"Begin Job...\n\rJob at 0.00 %", "\rJob at 0.26 %", "\rJob at 1.30 %",
        "\rJob at 100%\t\t\t\t\nSoft Reset.\n"},
       "|Begin Job...|Job at 100%|Soft Reset."},
      {"the Windows runtime's CR LF line ends",
       {"\r\nBegin Job...\r\n\rJob at 0.00 %", "\rJob at 100%\t\r\n\r\nExit updater\r\n"},
       "|Begin Job...|Job at 100%|Exit updater"},
      {"a line split over many reads", {"Soft ", "Res", "et.", "\n"}, "|Soft Reset."},
  };
  for (const Case& c : cases) {
    LineSplitter splitter;
    EXPECT_EQ(describe(split(c.chunks, &splitter)), c.lines) << c.name;
  }
}

TEST(FleetOutput, ProgressIsReportedWhenItsWholePercentageMoves) {
  struct Case {
    const char* name;
    std::vector<double> percents;
    const char* reports;
  };
  const double nan = std::nan("");
  const Case cases[] = {
      {"moves within a percent are left out",
       {0.0, 0.26, 1.04, 1.30, 100},
       "{\"progress\":0.0}{\"progress\":1.04}{\"progress\":1e+02}"},
      {"to the console's two decimals",
       {42.516666, 42.9, 43.004},
       "{\"progress\":42.52}{\"progress\":43.0}"},
      {"a new job starting over is reported",
       {100, 100, 12.5},
       "{\"progress\":1e+02}{\"progress\":12.5}"},
      {"past either end: shown at the end; nothing that is no number",
       {-0.05, nan, 0.2, 127.95, 100}, "{\"progress\":0.0}{\"progress\":1e+02}"},
  };
  for (const Case& c : cases) {
    std::string sent;
    ProgressReport report([&](const std::string& line) { sent += line; });
    for (const double percent : c.percents) report.progressed(percent);
    EXPECT_EQ(sent, c.reports) << c.name;
  }
  // The parent reads back only a progress report's number.
  EXPECT_EQ(ProgressReport::percentOf(Json::parse("{\"progress\":42.5}")), 42.5);
  EXPECT_FALSE(ProgressReport::percentOf(Json::parse("{\"progress\":\"42\"}")));
  EXPECT_FALSE(ProgressReport::percentOf(Json::parse("{\"card_model\":\"DVI TO SDI\"}")));
}

TEST(FleetOutput, LiveTextAndTheEndOfTheStream) {
  LineSplitter splitter;
  std::vector<std::string> lines = split({"Press a key to continue ... "}, &splitter);
  EXPECT_TRUE(lines.empty());
  EXPECT_EQ(splitter.live(), "Press a key to continue ...");
  splitter.finish(&lines);
  EXPECT_EQ(describe(lines), "|Press a key to continue ...");

  // Progress without a line end for longer than any line: only the last
  // move is kept, and it still shows.
  LineSplitter endless;
  std::string moves;
  for (int k = 0; k < 20000; ++k) moves += "\rJob at " + std::to_string(k % 100) + ".50 %";
  split({moves}, &endless);
  EXPECT_EQ(endless.live(), "Job at 99.50 %");
}

TEST(FleetResult, ReadsOneFlatJsonObjectAndNothingElse) {
  Json result;
  ASSERT_TRUE(fleet::readJsonObject(
      R"( {"port":"COM3","card_model":"HDMI TO SDI","card_plus":true,"exit_status":0,)"
      R"("elapsed_seconds":-1.5e3,"message":null,"q":"a\"b\\\u00e9\ud83d\ude00",)"
      R"("file":"caf\udce9 \ud800x","text":"\\udc80","nested":{"x":[1,{"y":null}]}} )",
      &result));
  const std::pair<const char*, std::string> members[] = {
      {"port", "COM3"},
      {"card_model", "HDMI TO SDI"},
      {"card_plus", "true"},
      {"exit_status", "0"},
      {"elapsed_seconds", "-1.5e+03"},
      {"message", ""},
      {"q", "a\"b\\\xC3\xA9\xF0\x9F\x98\x80"},
      // A stray byte's escape, and half a pair, read as U+FFFD.
      {"file", "caf\xEF\xBF\xBD \xEF\xBF\xBDx"},
      {"text", "\\udc80"},  // an escaped backslash, then plain text
      {"nested", ""},
  };
  for (const auto& [key, text] : members) EXPECT_EQ(fleet::jsonScalar(result[key]), text) << key;
  const char* refused[] = {
      "", "[]", "{}{}", "{\"a\":1} x", "{\"a\":01}", "{\"a\":1,}", "{\"a\":\"x}",
      "{\"a\":\"tab\tinside\"}", "{\"a\":tru}", "{\"a\":\"\\q\"}", "{a:1}",
  };
  for (const char* text : refused) EXPECT_FALSE(fleet::readJsonObject(text, nullptr)) << text;
  EXPECT_TRUE(fleet::readJsonObject("{}", nullptr));
  const std::string deep = "{\"a\":" + std::string(10000, '[') + std::string(10000, ']') + "}";
  EXPECT_FALSE(fleet::readJsonObject(deep, nullptr));
}

TEST(FleetResult, OutcomesSummaryAndExitStatus) {
  struct Case {
    fleet::PortResult result;
    const char* outcome;
  };
  const Case cases[] = {
      {{"COM3", "", "", true, 0, "", "", 0}, "success"},
      {{"COM3", "", "", true, 2, "", "arguments", 0}, "refused (exit 2) at arguments"},
      {{"COM3", "", "", true, 1, "", "open", 0}, "failure (exit 1) at open"},
      {{"COM3", "", "", true, 139, "signal 11", "", 0}, "failure (signal 11)"},
      {{"COM3", "", "", true, 130, "signal 2", "", 0}, "interrupted"},
      {{"COM3", "", "", false, 1, "", "", 0}, "not started"},
  };
  for (const Case& c : cases) EXPECT_EQ(fleet::outcomeText(c.result), c.outcome);

  EXPECT_EQ(fleet::summaryTable({{"COM3", "HDMI TO SDI PLUS", "3.1", true, 0, "", "", 27.94},
                                 {"COMUSB0", "", "", true, 1, "", "open", 0.04}}),
            "Port     Card              Firmware  Outcome                     Time\n"
            "COM3     HDMI TO SDI PLUS  3.1       success                   27.9 s\n"
            "COMUSB0  -                 -         failure (exit 1) at open   0.0 s\n");

  EXPECT_EQ(fleet::fleetExitStatus({0, 0, 0}, 0), 0);
  EXPECT_EQ(fleet::fleetExitStatus({0, 1, 0}, 0), 1);
  EXPECT_EQ(fleet::fleetExitStatus({1, 2, 0}, 0), 2);
  EXPECT_EQ(fleet::fleetExitStatus({0, 0}, 130), 130);
}

// The parent with shell scripts for children: the script gets the child's
// command line ($1 is its port).
class FleetRun : public ::testing::Test {
 protected:
  int run(const std::string& script, std::vector<std::string> args) {
    const std::string program = scratch_.write("child.sh", "#!/bin/sh\n" + script);
    chmod(program.c_str(), 0755);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = runFleet(static_cast<int>(argv.size()), argv.data(), program);
    out = testing::internal::GetCapturedStdout();
    err = testing::internal::GetCapturedStderr();
    return status;
  }
  std::string lastLine() const {
    const std::size_t end = out.find_last_not_of('\n');
    return out.substr(out.rfind('\n', end) + 1, end - out.rfind('\n', end));
  }

  testsupport::ScratchDir scratch_;
  std::string out, err;
};

const char kTwoCards[] =
    "case \"$*\" in *--json*) ;; *) exit 9 ;; esac\n"
    "case \"$1\" in\n"
    "COM1) printf 'Begin Job...\\n\\rJob at 0.00 %%\\rJob at 0.52 %%\\rJob at 100%%\\t\\n'\n"
    "      printf '{\"port\":\"COM1\",\"card_model\":\"HDMI TO SDI\",\"card_plus\":true,' >&3\n"
    "      printf '\"firmware_version\":\"3.1\",\"outcome\":\"success\",\"exit_status\":0}\\n' >&3\n"
    "      exit 0 ;;\n"
    "COM2) printf '\\t\\t\\t\\t\\t\\t\\t*\\r*\\t\\t\\tDVI TO SDI\\n'\n"
    "      printf '{\"progress\":42.5}\\n' >&3\n"
    "      printf '\\t\\t\\t\\t\\t\\t\\t*\\r*\\tSoftware Version  -> 2.5\\n'\n"
    "      printf '{\"card_model\":\"DVI TO SDI\",\"card_plus\":false,' >&3\n"
    "      printf '\"firmware_version\":\"2.5\"}\\n{\"no outcome\":1}\\n' >&3\n"
    "      printf '{\"not a result\":1}\\n'\n"
    "      echo 'no card' >&2; printf 'Exit updater'; exit 3 ;;\n"
    "esac\n";

TEST_F(FleetRun, PrefixesLinesHoldsBackResultsAndSumsUp) {
  EXPECT_EQ(run(kTwoCards, {"updater", "COM1,COM2", "VIPER", "Device5.bin"}), 3);
  for (const char* line :
       {"COM1: Begin Job...\n", "COM1: Job at 100%\n",
        "COM2: *                       DVI TO SDI                      *\n",
        "COM2: {\"not a result\":1}\n", "COM2: Exit updater\n"})
    EXPECT_NE(out.find(line), std::string::npos) << line << out;
  EXPECT_EQ(out.find("card_model"), std::string::npos) << "a result line was shown";
  // Progress comes from the report channel, never from the console text.
  EXPECT_NE(out.find("COM2: Job at 42.50 %\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("COM1: Job at 0.52 %"), std::string::npos) << out;
  EXPECT_EQ(err, "COM2: no card\n");
  EXPECT_NE(out.find("COM1  HDMI TO SDI PLUS  3.1       success"), std::string::npos) << out;
  EXPECT_NE(out.find("COM2  DVI TO SDI        2.5       failure (exit 3)"), std::string::npos)
      << out;
}

TEST_F(FleetRun, JsonGivesOneArrayOfTheChildrensResults) {
  // The user's own --json asks for the array.
  EXPECT_EQ(run(kTwoCards, {"updater", "COM1,COM2", "STATUS", "--json"}), 3);
  const std::string last = lastLine();
  EXPECT_EQ(last.rfind("[{\"port\":\"COM1\",\"card_model\":\"HDMI TO SDI\",", 0), 0u) << last;
  EXPECT_NE(last.find("},{\"port\":\"COM2\",\"card_model\":\"DVI TO SDI\",\"card_plus\":false,"
                      "\"firmware_version\":\"2.5\",\"outcome\":\"failure\",\"exit_status\":3,"),
            std::string::npos)
      << last;
  EXPECT_TRUE(fleet::readJsonObject("{\"a\":" + last + "}", nullptr)) << last;

  EXPECT_EQ(run(kTwoCards, {"updater", "COM1,COM2,com1", "STATUS", "--json"}), 2);
  EXPECT_EQ(out.rfind("Port COM1 is listed twice.\n\nExit updater\n", 0), 0u) << out;
  EXPECT_NE(lastLine().find("\"outcome\":\"refused\",\"exit_status\":2"), std::string::npos);
}

TEST_F(FleetRun, InterruptEndsEveryChild) {
  // The second child interrupts the parent, as Ctrl-C would; the first
  // would otherwise run for a minute.
  // The third ignores Ctrl-C: it is killed once the 3 s grace have passed.
  const char script[] =
      "case \"$1\" in\n"
      "COM1) echo started; exec sleep 60 ;;\n"
      "COM2) sleep 0.2; kill -INT $PPID; exec sleep 60 ;;\n"
      "COM3) trap '' INT; exec sleep 60 ;;\n"
      "esac\n";
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(run(script, {"updater", "COM1,COM2,COM3", "STATUS"}), 130);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_LT(seconds, 10.0) << "a child that ignores Ctrl-C held the run up";
  EXPECT_NE(out.find("COM1: started\n"), std::string::npos) << out;
  for (const char* row : {"COM1  -     -         interrupted", "COM2  -     -         interrupted",
                          "COM3  -     -         interrupted"})
    EXPECT_NE(out.find(row), std::string::npos) << row << "\n" << out;
}

}  // namespace
