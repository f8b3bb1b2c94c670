// The front end in-process: argument rules, file rules, port errors and the
// exit statuses, against the simulated card on the virtual clock.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "boot/boot_mode.h"
#include "common/sha256.h"
#include "frontend/option_check.h"
#include "frontend/startup.h"
#include "support/fake_line.h"
#include "support/scratch_dir.h"
#include "support/sim_peer.h"
#include "support/trace_file.h"
#include "support/updater_run.h"
#include "unit/srecords.h"

namespace {

using testsupport::FakeLine;
using testsupport::SimPeer;

const std::string kExitLine = "\nExit updater\n";

// Runs the updater in a fresh scratch folder; files can be laid there first.
class FrontEnd : public ::testing::Test {
 protected:
  int run(std::vector<std::string> args) {
    return testsupport::runUpdaterCapturing(std::move(args), &out, &err);
  }

  // The output after the banner's last line.
  std::string afterBanner() const {
    const std::string frame = "* * * * * * * * * * * * * * * * * * * * * * * * * * * * *\n";
    const std::size_t p = out.rfind(frame);
    return p == std::string::npos ? out : out.substr(p + frame.size());
  }

  testsupport::ScratchDir scratch_;
  testsupport::ScopedWorkingDir inScratch_{scratch_.path()};
  std::string out;
  std::string err;  // the hint lines
};

TEST_F(FrontEnd, RefusalsBeforeTheCardIsAsked) {
  struct Case {
    std::vector<std::string> args;
    DWORD openError;
    int status;
    std::string output;  // exact, or the start of it when `prefixOnly`
    bool prefixOnly;
    std::string hint = "";  // the start of standard error
  };
  const Case cases[] = {
      {{}, 0, kExitOk, "", false},
      {{"--version"}, 0, kExitOk, "updater 2.30\n", false},
      {{"--help"}, 0, kExitOk, "updater 2.30 - firmware updater", true},
      {{"-h"}, 0, kExitOk, "updater 2.30 - firmware updater", true},
      {{"/?"}, 0, kExitOk, "updater 2.30 - firmware updater", true},
      {{"LPT1", "FPGA", "x.xsvf"}, 0, kExitRefused, "Must be COMXX\n" + kExitLine, false},
      {{"COM7", "FPGA", std::string(300, 'a') + ".xsvf"}, 0, kExitRefused, "Error: Usage is\n",
       true},
      {{"COM" + std::string(120, '1'), "STATUS"}, 0, kExitRefused, "Error: Usage is\n", true},
      // The serial ports this computer has follow on standard error.
      {{"com12", "STATUS"}, 2, kExitFailed,
       "Failed to open COM12 :  The COM port selected don't exist!\n" + kExitLine, false,
       "hint: "},
      // A mistyped option is refused before the port is opened, wherever
      // it stands; the options are taken only where they are known.
      {{"COM7", "VIPER", "Device5.bin", "--verfy"}, 0, kExitRefused,
       "unknown option --verfy\n" + kExitLine, false, "hint: did you mean --verify?\n"},
      {{"--jsn", "COM7", "STATUS"}, 0, kExitRefused, "unknown option --jsn\n" + kExitLine, false,
       "hint: did you mean --json?\n"},
      {{"COM7", "STATUS", "--list"}, 0, kExitRefused, "unknown option --list\n" + kExitLine, false,
       "hint: --list stands alone: updater --list\n"},
      {{"COM7", "STATUS", "--"}, 0, kExitRefused, "unknown option --\n" + kExitLine, false},
      {{"COM7", "STATUS"}, 5, kExitFailed,
       "Failed to open COM7 :  The COM port selected is already open by an other program!\n" +
           kExitLine,
       false},
      {{"COM7", "STATUS"}, 31, kExitFailed, "Failed to open COM7 :  \n" + kExitLine, false},
  };
  for (const Case& c : cases) {
    FakeLine line;
    line.openError = c.openError;
    const std::string name = c.args.empty() ? "(none)" : c.args[0];
    EXPECT_EQ(run(c.args), c.status) << name;
    if (c.prefixOnly)
      EXPECT_EQ(out.substr(0, c.output.size()), c.output) << name;
    else
      EXPECT_EQ(out, c.output) << name;
    EXPECT_EQ(err.substr(0, c.hint.size()), c.hint) << name;
    if (c.hint.empty()) {
      EXPECT_EQ(err.find("hint:"), std::string::npos) << name;
    }
    EXPECT_EQ(line.opens, c.openError != 0 ? 1 : 0) << name;
    EXPECT_TRUE(line.written.empty()) << name;
  }
}

TEST(OptionCheck, ClosestKnownOptionOnlyWhenNear) {
  const std::pair<const char*, const char*> cases[] = {
      {"--verfy", "--verify"},   {"--jsn", "--json"},       {"--VERIFY", "--verify"},
      {"--trcae=x.log", "--trace"}, {"--lsit", "--list"},   {"--verison", "--version"},
      {"--ver", ""},             {"--x", ""},               {"--dryrun", "--dry-run"},
      {"--", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(closestOption(c.first), c.second) << c.first;
}

// After the banner: the argument count, then the keyword (EDID only where
// the model has a video input).
TEST_F(FrontEnd, ArgumentCountThenKeyword) {
  const std::string usage =
      "Error: Usage is\n  updater [COMXX] [FPGA/VIPER] Filename.xxx\n"
      "e.g. updater COM1 FPGA fpga.xsvf\ne.g. updater COM1 VIPER Device5.bin\n"
      "e.g. updater COM1 MICRO\n";
  struct Case {
    const char* model;
    std::vector<std::string> args;
    std::string afterBanner;
  };
  const Case cases[] = {
      {"SDITODVI", {"COM7"}, usage + "e.g. updater COM1 ALL\n"},
      {"HDMITOSDI", {"COM7", "FPGA"}, usage + "e.g. updater COM1 EDID\n"},
      {"HDMITOSDI", {"COM7", "EDID"}, usage + "e.g. updater COM1 EDID\n"},
      {"SDITODVI", {"COM7", "CMD"}, usage + "e.g. updater COM1 ALL\n"},
      {"SDITODVI", {"COM7", "CMD", "x.txt"}, "Must be FPGA, VIPER, MICRO, CMD, GAMMA or ALL\n"},
      {"DVITOSDI", {"COM7", "CMD", "x.txt"}, "Must be FPGA, VIPER, MICRO, EDID, CMD , GAMMA or ALL\n"},
      {"SL-SDITOHDMI", {"COM7", "EDID", "EDID.bin"}, "Must be FPGA, VIPER, MICRO, CMD, GAMMA or ALL\n"},
  };
  for (const Case& c : cases) {
    FakeLine line;
    SimPeer card(line, {"--model", c.model});
    EXPECT_EQ(run(c.args), kExitRefused) << c.model << " " << c.args.back();
    EXPECT_EQ(afterBanner(), c.afterBanner + kExitLine) << c.model << " " << c.args.back();
    EXPECT_EQ(line.writtenText(), std::string(2, '\0') + "#DEVERSION\r#DEVTYPE\r");
  }
}

TEST_F(FrontEnd, DeviceFileRule) {
  FakeLine line;
  SimPeer card(line, {"--model", "HDMITOSDI"});
  ASSERT_TRUE(std::filesystem::create_directory(scratch_.file("sub")));
  scratch_.write("sub/Device5.bin", std::string(10, 'x'));
  struct Case {
    const char* name;
    const char* text;
  };
  const Case cases[] = {
      {"Device6.bin", "Bad device file. (Device 1,5  or 7 only)\n"},
      {"device5.bin", "Bad device file. (Device 1 or 5 only)\n"},
      {"Device5.BIN", "Bad device file. (Device 1, 5 or 7 only)\n"},
      {"sub/Device5.bin", "Bad device file. (Device 1 or 5 only)\n"},
      {"Device5.bin.old", "File Device5.bin.old doesn't exist.\n"},
      {"Device7.bin", "File Device7.bin doesn't exist.\n"},
  };
  for (const Case& c : cases) {
    for (const char* mode : {"VIPER", "verify"}) {
      EXPECT_EQ(run({"COM7", mode, c.name}), kExitRefused) << c.name;
      EXPECT_EQ(afterBanner(), c.text + kExitLine) << c.name;
    }
  }
  EXPECT_EQ(line.keysRead, 0);  // a missing device file does not wait
}

TEST_F(FrontEnd, ExtensionRuleAndTheMissingFilePause) {
  FakeLine line;
  SimPeer card(line, {"--model", "DVITOSDI"});
  struct Case {
    const char* mode;
    const char* name;
    const char* text;
  };
  const Case cases[] = {
      {"FPGA", "fpga.XSVF", "Bad fpga file\n"},     {"FPGA", "xsvf", "Bad fpga file\n"},
      {"EDID", "EDID.BIN", "Bad EDID file\n"},      {"REMOTE", "remote.TXT", "Bad REMOTE file\n"},
      {"GAMMA", "gamma.csv.bak", "Bad GAMMA file\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(run({"COM7", c.mode, c.name}), kExitRefused) << c.name;
    EXPECT_EQ(afterBanner(), c.text + kExitLine);
  }
  EXPECT_EQ(line.keysRead, 0);

  line.keys.push_back(' ');
  EXPECT_EQ(run({"COM7", "FPGA", "fpga.xsvf"}), kExitRefused);
  EXPECT_EQ(afterBanner(),
            "File fpga.xsvf doesn't exist.\nPress any key to continue . . . \n" + kExitLine);
  EXPECT_EQ(line.keysRead, 1);
}

TEST_F(FrontEnd, MicroImageSizeRefusedBeforeAnyByteGoesOut) {
  FakeLine line;
  SimPeer card(line, {"--model", "DVITOSDI"});
  EXPECT_EQ(run({"com3", "micro"}), kExitRefused);  // no appMain.mot: no message
  EXPECT_EQ(out, kExitLine);
  scratch_.write(kMicroImageFile, std::string(510526, 'x'));
  EXPECT_EQ(run({"COM3", "MICRO"}), kExitRefused);
  EXPECT_EQ(out, "Bad appMain.mot file. Exit.\n" + kExitLine);
  EXPECT_TRUE(line.written.empty());
}

TEST_F(FrontEnd, AllWithNothingToDoIsNoFailure) {
  FakeLine line;
  SimPeer card(line, {"--model", "HDMITOSDI"});
  scratch_.write("Device1.bin", std::string(64, 'x'));
  scratch_.write("FDriver.bin", std::string(64, 'x'));
  scratch_.write("EDID.BIN", std::string(128, 'x'));
  EXPECT_EQ(run({"COM7", "ALL"}), kExitOk);
  EXPECT_EQ(afterBanner(),
            "\nLooking for update files ... \n\nDevice1.bin : \tYES\nDevice5.bin : \tNO\n"
            "SFDriver.bin : \tNO  (ERROR - You need a driver to update device1.)\n"
            "fpga.xsvf : \tNO\nEDID.bin : \tNO\nNo update available." + kExitLine);
}

TEST_F(FrontEnd, OldFirmwareInMicroGetsItsLastKey) {
  FakeLine line;
  SimPeer card(line, {"--old-firmware"});
  for (const char* kernel : {kMicroKernelFile, kMainKernelFile, kWriteKernelFile})
    scratch_.write(kernel, std::string(100, 'k'));
  scratch_.write(kMicroImageFile, srec::join(srec::image(srec::ramp(1024), srec::ramp(256))));
  EXPECT_EQ(run({"COM7", "MICRO"}), kExitFailed);
  const std::string written = line.writtenText();
  ASSERT_GE(written.size(), 4u);
  EXPECT_EQ(written.substr(written.size() - 4), "\r1$6");
  EXPECT_EQ(out.find("Unsupported feature"), std::string::npos);
}

// --json adds one line, the result, after everything the run prints, on
// every way a run can end; the rest of the output stays as it was.
TEST_F(FrontEnd, JsonResultIsTheLastLineOfEveryEnding) {
  const std::string edid(10, 'e');  // a length the card does not take
  scratch_.write("EDID.bin", edid);
  scratch_.write("Device5.bin", "an image");
  struct Case {
    std::vector<std::string> args;
    DWORD openError;
    int status;
    std::vector<std::string> members;  // each must stand in the object
  };
  const Case cases[] = {
      {{"LPT1", "FPGA", "x.xsvf"}, 0, kExitRefused,
       {R"("port":"LPT1","mode":"FPGA","file":"x.xsvf","file_size":null)",
        R"("outcome":"refused","exit_status":2,)", R"("failed_step":"arguments")"}},
      {{"COM7", "STATUS", "--trace"}, 0, kExitRefused,
       {R"("port":null)", R"("failed_step":"arguments","message":"--trace needs a file name"})"}},
      {{"COM7", "STATUS", "--trace", "no-such-folder/t.log"}, 0, kExitRefused,
       {R"("failed_step":"trace")"}},
      {{"COM7", "VIPER", "Device5.bin", "--trace", "Device5.bin"}, 0, kExitRefused,
       {R"("failed_step":"trace","message":"cannot create the trace file: it exists and is not)"}},
      {{"COM7", "READ", "5", "backup.bin", "--trace", "backup.bin"}, 0, kExitRefused,
       {R"("failed_step":"trace","message":"cannot create the trace file: it is the file the run)"}},
      {{"COM7", "STATUS"}, 2, kExitFailed,
       {R"("card_model":null,"card_variant":null,"card_plus":null,"firmware_version":null)",
        R"("failed_step":"open","message":"The COM port selected don't exist!"})"}},
      {{"COM7", "VIPER", "Device6.bin"}, 0, kExitRefused,
       {R"("failed_step":"file","message":"Bad device file")"}},
      {{"COM7", "EDID", "EDID.bin"}, 0, kExitFailed,
       {R"("mode":"EDID","file":"EDID.bin","file_size":10,"file_sha256":")" +
            sha256Hex(edid.data(), edid.size()) + "\"",
        R"("card_model":"HDMI TO SDI","card_variant":2,"card_plus":true,"firmware_version":"3.1")",
        R"("outcome":"failure","exit_status":1,)",
        R"("failed_step":"mode","message":"EDID failed"})"}},
      {{"COM7", "STATUS"}, 0, kExitOk,
       {R"({"version":"2.30","port":"COM7","mode":"STATUS","file":null,)",
        R"("outcome":"success","exit_status":0,"elapsed_seconds":)",
        R"("failed_step":null,"message":null})"}},
  };
  for (const Case& c : cases) {
    const std::string name = c.args[0] + " " + c.args[1];
    std::string plain;
    for (bool json : {false, true}) {
      FakeLine line;
      line.openError = c.openError;
      SimPeer card(line, {"--model", "HDMITOSDI", "--version", "2 3.1"});
      std::vector<std::string> args = c.args;
      if (json) args.insert(args.begin() + 1, "--json");
      EXPECT_EQ(run(args), c.status) << name;
      if (!json) {
        plain = out;
        continue;
      }
      ASSERT_EQ(out.substr(0, plain.size()), plain) << name;
      const std::string result = out.substr(plain.size());
      ASSERT_FALSE(result.empty()) << name;
      EXPECT_EQ(result.find('\n'), result.size() - 1) << name << ": one line";
      for (const std::string& member : c.members)
        EXPECT_NE(result.find(member), std::string::npos) << name << "\n" << result << member;
    }
  }
  std::ifstream image(scratch_.file("Device5.bin"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(image), {}), "an image")
      << "a trace named like the image must not replace it";
}

// The trace holds every byte the run sent and its steps, headed by what
// ran where; the run prints and sends the same with it as without.
TEST_F(FrontEnd, TraceRecordsTheRunWithoutChangingIt) {
  std::string plainOut, plainWire;
  for (bool traced : {false, true}) {
    FakeLine line;
    SimPeer card(line, {"--model", "HDMITOSDI", "--version", "2 3.1"});
    std::vector<std::string> args = {"COM7", "STATUS"};
    if (traced) args.insert(args.begin(), {"--trace", "status.log"});
    EXPECT_EQ(run(args), kExitOk);
    if (!traced) {
      plainOut = out;
      plainWire = line.writtenText();
      continue;
    }
    EXPECT_EQ(out, plainOut);
    EXPECT_EQ(line.writtenText(), plainWire);
    const testsupport::Traced trace = testsupport::readTrace(scratch_.file("status.log"));
    EXPECT_EQ(trace.out, plainWire);
    EXPECT_FALSE(trace.in.empty());
    // The header first, then the steps in this order.
    EXPECT_EQ(trace.notes.find("updater trace, started "), 0u);
    const char* const steps[] = {
        "\nupdater 2.30\ncommand line: updater --trace status.log COM7 STATUS\nport COM7 (",
        "\ncard command #DEVERSION\n",
        "\ncard command #DEVTYPE\n",
        "\ncard HDMI TO SDI, variant 2 (PLUS), firmware 3.1\nmode STATUS start\n",
        "\nISP request 0633 device name\nISP answer ",
        "\nmode STATUS end: success\nport closed\nrun ended: exit status 0\n",
    };
    std::size_t at = 0;
    for (const char* step : steps) {
      at = trace.notes.find(step, at);
      ASSERT_NE(at, std::string::npos) << step << "\nin\n" << trace.notes;
    }
  }
}

}  // namespace
