// The front end in-process: argument rules, file rules, port errors and the
// exit statuses, against the simulated card on the virtual clock.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "frontend/startup.h"
#include "support/fake_line.h"
#include "support/sim_peer.h"
#include "support/updater_run.h"

namespace {

using testsupport::FakeLine;
using testsupport::SimPeer;

// Runs the updater in a scratch directory; files can be laid there first.
class FrontEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/updater-frontend.XXXXXX";
    dir_ = mkdtemp(tmpl);
    char cwd[4096];
    old_ = getcwd(cwd, sizeof cwd);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
  }
  void TearDown() override {
    ASSERT_EQ(chdir(old_.c_str()), 0);
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }

  void makeFile(const std::string& name, std::size_t size) {
    FILE* f = std::fopen(name.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::vector<char> bytes(size, 'x');
    if (size) std::fwrite(bytes.data(), 1, size, f);
    std::fclose(f);
  }

  int run(std::vector<std::string> args) {
    return testsupport::runUpdaterCapturing(std::move(args), &out);
  }

  // The output after the banner's last line.
  std::string afterBanner() const {
    std::string frame = "* * * * * * * * * * * * * * * * * * * * * * * * * * * * *\n";
    std::size_t p = out.rfind(frame);
    return p == std::string::npos ? out : out.substr(p + frame.size());
  }

  // A well-formed appMain.mot: 1024 bytes from 0, 256 from 0x800, the
  // terminating record.
  void makeImage() {
    FILE* f = std::fopen("appMain.mot", "w");
    ASSERT_NE(f, nullptr);
    auto record = [&](uint32_t addr, int len) {
      unsigned sum = static_cast<unsigned>(len + 5);
      std::fprintf(f, "S3%02X%08X", len + 5, static_cast<unsigned>(addr));
      for (int s = 0; s < 32; s += 8) sum += (addr >> s) & 0xFF;
      for (int i = 0; i < len; ++i) {
        unsigned b = (addr + static_cast<unsigned>(i)) & 0xFF;
        std::fprintf(f, "%02X", b);
        sum += b;
      }
      std::fprintf(f, "%02X\n", ~sum & 0xFF);
    };
    for (uint32_t a = 0; a < 0x400; a += 16) record(a, 16);
    for (uint32_t a = 0x800; a < 0x900; a += 16) record(a, 16);
    record(0xFFFF0000u, 0);
    std::fclose(f);
  }

  std::string out;
  std::string dir_, old_;
};

TEST_F(FrontEnd, NoArgumentEndsSilently) {
  FakeLine line;
  EXPECT_EQ(run({}), kExitOk);
  EXPECT_EQ(out, "");
  EXPECT_EQ(line.opens, 0);
}

TEST_F(FrontEnd, HelpAndVersionTouchNoPort) {
  FakeLine line;
  for (const char* flag : {"--help", "-h", "/?"}) {
    EXPECT_EQ(run({flag}), kExitOk);
    EXPECT_NE(out.find("Exit status"), std::string::npos) << flag;
    EXPECT_NE(out.find("COMUSB"), std::string::npos);
  }
  EXPECT_EQ(run({"--version"}), kExitOk);
  EXPECT_EQ(out, "updater 2.30\n");
  EXPECT_EQ(line.opens, 0);
}

TEST_F(FrontEnd, PortNameAndPortErrors) {
  FakeLine line;
  EXPECT_EQ(run({"LPT1", "FPGA", "x.xsvf"}), kExitRefused);
  EXPECT_EQ(out, "Must be COMXX\n\nExit updater\n");

  line.openError = 2;
  EXPECT_EQ(run({"com12", "STATUS"}), kExitFailed);
  EXPECT_EQ(out, "Failed to open COM12 :  The COM port selected don't exist!\n\nExit updater\n");
  line.openError = 5;
  EXPECT_EQ(run({"COM7", "STATUS"}), kExitFailed);
  EXPECT_EQ(out,
            "Failed to open COM7 :  The COM port selected is already open by an other program!\n"
            "\nExit updater\n");
  line.openError = 31;
  EXPECT_EQ(run({"COM7", "STATUS"}), kExitFailed);
  EXPECT_EQ(out, "Failed to open COM7 :  \n\nExit updater\n");
}

TEST_F(FrontEnd, OverlongArgumentsAreRefusedWithTheUsage) {
  FakeLine line;
  EXPECT_EQ(run({"COM7", "FPGA", std::string(300, 'a') + ".xsvf"}), kExitRefused);
  EXPECT_EQ(out.rfind("Error: Usage is\n", 0), 0u);
  EXPECT_EQ(line.opens, 0);
  EXPECT_EQ(run({"COM" + std::string(120, '1'), "STATUS"}), kExitRefused);
}

TEST_F(FrontEnd, ArgumentCountAfterTheBanner) {
  FakeLine line;
  SimPeer card(line, {"--model", "SDITODVI"});
  EXPECT_EQ(run({"COM7", "FPGA"}), kExitRefused);
  EXPECT_EQ(afterBanner(),
            "Error: Usage is\n  updater [COMXX] [FPGA/VIPER] Filename.xxx\n"
            "e.g. updater COM1 FPGA fpga.xsvf\ne.g. updater COM1 VIPER Device5.bin\n"
            "e.g. updater COM1 MICRO\ne.g. updater COM1 ALL\n\nExit updater\n");
  EXPECT_EQ(line.writtenText(), std::string(2, '\0') + "#DEVERSION\r#DEVTYPE\r");
}

TEST_F(FrontEnd, DeviceFileRule) {
  FakeLine line;
  SimPeer card(line, {"--model", "HDMITOSDI"});
  ASSERT_EQ(mkdir("sub", 0755), 0);
  makeFile("sub/Device5.bin", 10);
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
      EXPECT_EQ(afterBanner(), std::string(c.text) + "\nExit updater\n") << c.name;
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
    EXPECT_EQ(afterBanner(), std::string(c.text) + "\nExit updater\n");
  }
  EXPECT_EQ(line.keysRead, 0);

  line.keys.push_back(' ');
  EXPECT_EQ(run({"COM7", "FPGA", "fpga.xsvf"}), kExitRefused);
  EXPECT_EQ(afterBanner(),
            "File fpga.xsvf doesn't exist.\nPress any key to continue . . . \n\nExit updater\n");
  EXPECT_EQ(line.keysRead, 1);
}

TEST_F(FrontEnd, EdidKeywordOnlyForDviAndHdmiInputs) {
  FakeLine line;
  SimPeer card(line, {"--model", "SL-SDITOHDMI"});
  EXPECT_EQ(run({"COM7", "EDID", "EDID.bin"}), kExitRefused);
  EXPECT_EQ(afterBanner(), "Must be FPGA, VIPER, MICRO, CMD, GAMMA or ALL\n\nExit updater\n");
}

TEST_F(FrontEnd, MicroImageSizeRefusedBeforeAnyByteGoesOut) {
  FakeLine line;
  SimPeer card(line, {"--model", "DVITOSDI"});
  EXPECT_EQ(run({"com3", "micro"}), kExitRefused);  // no appMain.mot: no message
  EXPECT_EQ(out, "\nExit updater\n");
  makeFile("appMain.mot", 510526);
  EXPECT_EQ(run({"COM3", "MICRO"}), kExitRefused);
  EXPECT_EQ(out, "Bad appMain.mot file. Exit.\n\nExit updater\n");
  EXPECT_TRUE(line.written.empty());
}

TEST_F(FrontEnd, AllWithNothingToDoIsNoFailure) {
  FakeLine line;
  SimPeer card(line, {"--model", "HDMITOSDI"});
  makeFile("Device1.bin", 64);
  makeFile("FDriver.bin", 64);
  makeFile("EDID.BIN", 128);
  EXPECT_EQ(run({"COM7", "ALL"}), kExitOk);
  EXPECT_EQ(afterBanner(),
            "\nLooking for update files ... \n\nDevice1.bin : \tYES\nDevice5.bin : \tNO\n"
            "SFDriver.bin : \tNO  (ERROR - You need a driver to update device1.)\n"
            "fpga.xsvf : \tNO\nEDID.bin : \tNO\nNo update available.\nExit updater\n");
}

TEST_F(FrontEnd, OldFirmwareInMicroGetsItsLastKey) {
  FakeLine line;
  SimPeer card(line, {"--old-firmware"});
  makeImage();
  EXPECT_EQ(run({"COM7", "MICRO"}), kExitFailed);
  std::string w = line.writtenText();
  EXPECT_EQ(w.substr(w.size() - 4), std::string("\r1$6"));
  EXPECT_EQ(out.find("Unsupported feature"), std::string::npos);
}

}  // namespace
