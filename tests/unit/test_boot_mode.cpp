// The boot-mode programmer against the simulated microcontroller on the
// virtual clock: whole runs, every failure path the card can provoke, the
// first silence and the MICRO mode around it.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "boot/boot_mode.h"
#include "boot/fdt.h"
#include "frontend/startup.h"
#include "jobs/modes.h"
#include "link/serial_port.h"
#include "support/fake_line.h"
#include "support/sim_peer.h"
#include "support/updater_run.h"
#include "unit/srecords.h"

namespace {

using testsupport::FakeLine;
using testsupport::SimPeer;

constexpr std::size_t kFlashSize = 0x40800;

int openFiles() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

std::string progress(double value) {
  char t[64];
  std::snprintf(t, sizeof t, "%cJob at %0.2f %c", 13, value, '%');
  return t;
}

class BootMode : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/updater-boot.XXXXXX";
    dir_ = mkdtemp(tmpl);
    char cwd[4096];
    old_ = getcwd(cwd, sizeof cwd);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    microKernel = srec::ramp(300, 1);
    mainKernel = srec::ramp(200, 7);
    writeKernel = srec::ramp(150, 9);
    first = srec::ramp(1024, 3);
    second = srec::ramp(200, 100);
    writeFiles();
    resetBootModeRun();
  }
  void TearDown() override {
    ASSERT_EQ(chdir(old_.c_str()), 0);
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }

  static void put(const char* name, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(name, "wb");
    ASSERT_NE(f, nullptr);
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  void writeFiles() {
    put("uGen7144.cde", microKernel);
    put("Genm7144.cde", mainKernel);
    put("Genw7144.cde", writeKernel);
    const std::string text = srec::join(srec::image(first, second));
    put("appMain.mot", std::vector<uint8_t>(text.begin(), text.end()));
  }

  // Opens the port onto `line` at 9600 bit/s and runs FDT once.
  int fdt(FakeLine& line) {
    (void)line;
    EXPECT_TRUE(testsupport::openTestPort());
    EXPECT_TRUE(setBaudRate(9600));
    testing::internal::CaptureStdout();
    int result = FDT(lport, lDCB, ct, lfullportname);
    out = testing::internal::GetCapturedStdout();
    return result;
  }
  int fdtAgain() {
    testing::internal::CaptureStdout();
    int result = FDT(lport, lDCB, ct, lfullportname);
    out = testing::internal::GetCapturedStdout();
    return result;
  }

  std::vector<uint8_t> flashOf(FakeLine& line, SimPeer& card) {
    line.advanceTo(line.now() + 1000);  // the card stores its flash once the line is quiet
    auto flash = card.state().load("micro_flash.bin");
    return flash ? *flash : std::vector<uint8_t>();
  }

  // The console output of a whole successful run.
  std::string fullRunOutput() const {
    std::string s = "\n->CHECKING COMMUNICATION WITH SH2...OK\n->SENDING MICRO KERNEL...\n";
    for (std::size_t i = 0; i < microKernel.size(); ++i)
      s += progress(static_cast<double>(i) * 100 / microKernel.size() + 0.05);
    s += "\rJob at 100 %     \n\rOK\n->SET PARAMETERS...OK\n->SENDING MAIN KERNEL...OK"
         "\n->Set PARAMETERS...OK\n->WRITING .MOT FILE  TO FLASH MEMORY...\n";
    const std::size_t sent = (second.size() + 127) / 128 * 128;
    for (std::size_t i = 1; i <= sent; ++i) {
      double v = static_cast<double>(i) * 100 / second.size() - 0.05;
      s += " " + progress(v > 100 ? 100 : v);
    }
    s += "\rJob at 100 %      \n\rOK\nEND...REBOOT THE DEVICE!\n";
    return s;
  }

  std::vector<uint8_t> microKernel, mainKernel, writeKernel, first, second;
  std::string out;
  std::string dir_, old_;
};

TEST_F(BootMode, WholeRunWritesTheImageWhereItsAddressesSay) {
  // Just below the wrap of the tick counter: every deadline must hold.
  FakeLine line(0xFFFFF000u);
  SimPeer card(line, {"--boot-mode", "--boot-match-after", "3"});
  ASSERT_EQ(fdt(line), kFdtDone);
  EXPECT_EQ(out, fullRunOutput());

  std::vector<uint8_t> flash = flashOf(line, card);
  ASSERT_EQ(flash.size(), kFlashSize);
  EXPECT_TRUE(std::equal(first.begin(), first.end(), flash.begin()));
  for (std::size_t a = 0x400; a < 0x800; ++a) ASSERT_EQ(flash[a], 0xFF) << a;
  EXPECT_TRUE(std::equal(second.begin(), second.end(), flash.begin() + 0x800));
  // The last block was completed with erased-flash bytes.
  for (std::size_t a = 0x800 + second.size(); a < kFlashSize; ++a) ASSERT_EQ(flash[a], 0xFF) << a;

  EXPECT_EQ(card.state().load("boot_micro_kernel.bin"), microKernel);
  EXPECT_EQ(card.state().load("boot_main_kernel.bin"), mainKernel);
  EXPECT_EQ(card.state().load("boot_write_kernel.bin"), writeKernel);

  // The rate changed in place on the copy of the settings.
  EXPECT_EQ(line.baud(), 115200u);
  EXPECT_EQ(lDCB.BaudRate, 9600u);
  closePort();
}

TEST_F(BootMode, LengthsAndSumBytesOnTheWire) {
  FakeLine line;
  SimPeer card(line, {"--boot-mode"});
  ASSERT_EQ(fdt(line), kFdtDone);
  const std::string w = line.writtenText();
  // Micro kernel length 300 = 0x01 0x2C right after 0x55; the main
  // kernel's four length bytes and its sum byte with the constant 0x75.
  std::size_t p = w.find('\x55');
  ASSERT_NE(p, std::string::npos);
  EXPECT_EQ(w.substr(p, 3), std::string("\x55\x01\x2C", 3));
  const std::string mainLength("\x40\x00\x00\x00\xC8", 5);
  p = w.find(mainLength);
  ASSERT_NE(p, std::string::npos);
  const uint8_t mainSum = kernelSum(mainKernel.data(), mainKernel.size(), 0x75);
  EXPECT_EQ(static_cast<uint8_t>(w[p + 5 + 200]), mainSum);
  // The first write block: 0x50, address 0, 128 bytes, sum byte.
  p = w.find(std::string("\x50\x00\x00\x00\x00", 5) + std::string(first.begin(), first.begin() + 128));
  ASSERT_NE(p, std::string::npos);
  EXPECT_EQ(static_cast<uint8_t>(w[p + 133]), writeBlockSum(0, first.data()));
  closePort();
}

TEST_F(BootMode, NothingAfterTheFirstKilobyteSendsNoSecondPhaseBlock) {
  second.clear();
  writeFiles();
  FakeLine line;
  SimPeer card(line, {"--boot-mode"});
  ASSERT_EQ(fdt(line), kFdtDone);
  const std::string tail = "\n->WRITING .MOT FILE  TO FLASH MEMORY...\n\rJob at 100 %      \n\rOK\nEND...REBOOT THE DEVICE!\n";
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
  EXPECT_EQ(line.writtenText().find(std::string("\x50\x00\x00\x08\x00", 5)), std::string::npos);
  closePort();
}

TEST_F(BootMode, FailuresEndTheCallWithTheirMessage) {
  struct Case {
    std::vector<std::string> options;
    std::string ending;  // the output ends with this
  };
  const Case cases[] = {
      {{"--boot-erase-fail"}, "\n\rOKError during erasing of the flash"},
      {{"--boot-no-aa"}, "\nTime Out 4"},
      {{"--boot-bad-inquiry"}, "\n->SET PARAMETERS...\nError 2"},
      {{"--boot-no-ack", "device"}, "\nACK NOT received  DEVICE!!"},
      {{"--boot-no-ack", "clock"}, "\nACK NOT received  SElect CLOCK MODE!!"},
      {{"--boot-no-ack", "bitrate"}, "\nACK NOT received  Changing Baud RAte!!"},
      {{"--boot-no-ack", "confirm"}, "\nACK NOT  received  Baud Rate !!!!"},
      {{"--boot-no-ack", "transition"}, "\nACK NOT  received   Finish Data Set !!!!"},
      {{"--boot-no-ack", "main-kernel"}, "\n->SENDING MAIN KERNEL...\nACK NOT received MAIN KERNEL ..66"},
      {{"--boot-bad-status-sum", "1"}, "\n->Set PARAMETERS...Error checking sum 00 ....9c"},
      {{"--boot-no-ack", "prepare-user"}, "\nACK NOT RECEIVE PrepareUser"},
      {{"--boot-no-ack", "block:3"}, "TO FLASH MEMORY...\n\nACK NOT received  :( "},
      {{"--boot-refuse-block", "9"}, progress(128 * 100.0 / 200 - 0.05) + "\nACK NOT received  :( "},
  };
  for (const Case& c : cases) {
    resetBootModeRun();
    FakeLine line;
    std::vector<std::string> args{"--boot-mode"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    SimPeer card(line, args);
    const int before = openFiles();
    EXPECT_EQ(fdt(line), kFdtFailed) << c.options[0];
    EXPECT_EQ(openFiles(), before) << c.options[0] << ": a file was left open";
    ASSERT_GE(out.size(), c.ending.size()) << c.options[0];
    EXPECT_EQ(out.substr(out.size() - c.ending.size()), c.ending) << c.options[0];
    EXPECT_EQ(out.find("END...REBOOT"), std::string::npos);
    closePort();
  }
}

TEST_F(BootMode, IrregularAnswersThatArePassedOver) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--boot-no-ack", "write-kernel"}, "\n->Set PARAMETERS...OK\nACK NOT received  FDTWrite \n->WRITING"},
      {{"--boot-bad-status-sum", "2"}, "\n->WRITING .MOT FILE  TO FLASH MEMORY...\nError checking sum BINARY00 ....9b "},
  };
  for (const auto& c : cases) {
    resetBootModeRun();
    FakeLine line;
    std::vector<std::string> args{"--boot-mode"};
    args.insert(args.end(), c.first.begin(), c.first.end());
    SimPeer card(line, args);
    EXPECT_EQ(fdt(line), kFdtDone) << c.first[0];
    EXPECT_NE(out.find(c.second), std::string::npos) << c.first[0] << "\n" << out.substr(0, 400);
    std::vector<uint8_t> flash = flashOf(line, card);
    ASSERT_EQ(flash.size(), kFlashSize);
    EXPECT_TRUE(std::equal(second.begin(), second.end(), flash.begin() + 0x800));
    closePort();
  }
}

TEST_F(BootMode, NoAnswerToTheSyncByteGivesUpAfterFiveRetries) {
  FakeLine line;
  SimPeer card(line, {"--boot-mode", "--boot-no-sync-aa"});
  EXPECT_EQ(fdt(line), kFdtFailed);
  const std::string retry = "\nTime Out...Retry...";
  std::size_t n = 0;
  for (std::size_t p = out.find(retry); p != std::string::npos; p = out.find(retry, p + 1)) ++n;
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(out, "\n->CHECKING COMMUNICATION WITH SH2..." + retry + retry + retry + retry + retry);
  closePort();
}

TEST_F(BootMode, MissingFilesAreReportedAtTheirStage) {
  const std::pair<const char*, const char*> cases[] = {
      {"uGen7144.cde", "...OK\n->SENDING MICRO KERNEL...\n/nFile load error\n"},
      {"Genm7144.cde", "\n->SENDING MAIN KERNEL.../nFile load error\n"},
      {"Genw7144.cde", "\n->Set PARAMETERS...OK/nFile load error\n"},
      {"appMain.mot", "\n->WRITING .MOT FILE  TO FLASH MEMORY...\n/nFile load error\n"},
  };
  for (const auto& c : cases) {
    resetBootModeRun();
    writeFiles();
    std::remove(c.first);
    FakeLine line;
    SimPeer card(line, {"--boot-mode"});
    const int before = openFiles();
    EXPECT_EQ(fdt(line), kFdtFailed) << c.first;
    EXPECT_EQ(openFiles(), before) << c.first;
    const std::string ending = c.second;
    ASSERT_GE(out.size(), ending.size());
    EXPECT_EQ(out.substr(out.size() - ending.size()), ending) << c.first;
    closePort();
  }
}

TEST_F(BootMode, LongKernelIsCutToFourThousandBytes) {
  microKernel = srec::ramp(4001);
  writeFiles();
  FakeLine line;
  SimPeer card(line, {"--boot-mode"});
  ASSERT_EQ(fdt(line), kFdtDone);
  const std::string w = line.writtenText();
  EXPECT_NE(w.find(std::string("\x55\x0F\xA0", 3)), std::string::npos);
  auto stored = card.state().load("boot_micro_kernel.bin");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->size(), 4000u);
  closePort();
}

TEST_F(BootMode, FirstSilenceOfTheRunAsksForTheOldFirmwareOnce) {
  FakeLine line;
  SimPeer card(line, {"--boot-mode", "--boot-silent", "1"});
  EXPECT_EQ(fdt(line), kFdtBootSilent);
  EXPECT_EQ(out,
            "\n->CHECKING COMMUNICATION WITH SH2..."
            "\nTime Out...No communication with Boot Program...Maybe there's an old firmware..."
            "\nNow Calling the function to check the version of the firmware...");
  // A pause as long as the old firmware's keys; the boot program answers
  // the next attempt.
  line.advanceTo(line.now() + 2000);
  EXPECT_EQ(fdtAgain(), kFdtDone);
  EXPECT_NE(out.find("END...REBOOT THE DEVICE!"), std::string::npos);
  closePort();
}

TEST_F(BootMode, ChangeBaudRateReopensThePortAtTheNewRate) {
  FakeLine line;
  ASSERT_TRUE(testsupport::openTestPort());
  HANDLE port = lport;
  DCB dcb = lDCB;
  COMMTIMEOUTS timeouts{};
  const int opens = line.opens;
  testing::internal::CaptureStdout();
  EXPECT_TRUE(changebaudrate(port, dcb, timeouts, lfullportname, 9600));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(line.opens, opens + 1);
  EXPECT_EQ(line.baud(), 9600u);
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(line.dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
  EXPECT_EQ(line.dcb.ByteSize, 8);
  EXPECT_EQ(line.timeouts.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(line.timeouts.ReadTotalTimeoutConstant, 1u);
  EXPECT_EQ(line.timeouts.WriteTotalTimeoutMultiplier, 100u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, MAXDWORD);

  // A device that cannot be opened ends it without a message.
  line.openError = 2;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(changebaudrate(port, dcb, timeouts, lfullportname, 115200));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(port, INVALID_HANDLE_VALUE);
  lport = INVALID_HANDLE_VALUE;  // closed by changebaudrate
}

// ---- MICRO mode and the start-up's boot-mode branch ----

class MicroMode : public BootMode {
 protected:
  int run(std::vector<std::string> args) {
    return testsupport::runUpdaterCapturing(std::move(args), &out);
  }
};

TEST_F(MicroMode, RunningFirmwareHandsOverAndTheTotalTimeFollows) {
  FakeLine line;
  SimPeer card(line, {"--model", "HDMITOSDI"});
  EXPECT_EQ(run({"COM7", "MICRO"}), 0);
  const std::string w = line.writtenText();
  const std::size_t p = w.find("#MICROMODE\r");
  ASSERT_NE(p, std::string::npos);
  EXPECT_EQ(w.substr(p, 18), "#MICROMODE\r#MICRO\r");
  const std::string tail = "\nEND...REBOOT THE DEVICE!\n\nTotal Time : 0 minutes 13 seconds\n\nExit updater\n";
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
  std::vector<uint8_t> flash = flashOf(line, card);
  ASSERT_EQ(flash.size(), kFlashSize);
  EXPECT_TRUE(std::equal(first.begin(), first.end(), flash.begin()));
}

TEST_F(MicroMode, UnansweredModeCommandIsNotFollowedByTheSecond) {
  // A boot program listening at 9600 bit/s does not hear "#MICROMODE\r".
  FakeLine line;
  SimPeer card(line, {"--boot-mode"});
  ASSERT_TRUE(testsupport::openTestPort());
  testing::internal::CaptureStdout();
  EXPECT_EQ(ProgramMicro(), Outcome::Success);
  out = testing::internal::GetCapturedStdout();
  const std::string w = line.writtenText();
  EXPECT_EQ(w.find("#MICROMODE\r"), 0u);
  EXPECT_EQ(w.find("#MICRO\r"), std::string::npos);
  EXPECT_NE(out.find("END...REBOOT THE DEVICE!\n\nTotal Time : 0 minutes 1"), std::string::npos);
  closePort();
}

TEST_F(MicroMode, SilentBootProgramEndsTheModeWithoutASecondAttempt) {
  FakeLine line;
  SimPeer card(line, {"--model", "HDMITOSDI", "--boot-silent", "always"});
  EXPECT_EQ(run({"COM7", "MICRO"}), 1);
  const std::string tail =
      "\n->CHECKING COMMUNICATION WITH SH2..."
      "\nTime Out...No communication with Boot Program...Maybe there's an old firmware..."
      "\nNow Calling the function to check the version of the firmware..."
      "\nTotal Time : 0 minutes 10 seconds\n\nExit updater\n";
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
}

TEST_F(MicroMode, FailureInsideTheProgrammerEndsWithStatusOne) {
  FakeLine line;
  SimPeer card(line, {"--model", "HDMITOSDI", "--boot-erase-fail"});
  EXPECT_EQ(run({"COM7", "MICRO"}), 1);
  EXPECT_NE(out.find("Error during erasing of the flash\nTotal Time : "), std::string::npos) << out;
}

TEST_F(MicroMode, CorruptImageIsRefusedBeforeAnyByteGoesOut) {
  std::vector<std::string> lines = srec::image(first, second);
  lines[30] = srec::s3(0x1F0, srec::ramp(16));
  const std::string text = srec::join(lines);
  put("appMain.mot", std::vector<uint8_t>(text.begin(), text.end()));
  FakeLine line;
  SimPeer card(line, {"--model", "HDMITOSDI"});
  EXPECT_EQ(run({"COM7", "MICRO"}), 1);
  EXPECT_TRUE(line.written.empty());
  EXPECT_EQ(out,
            "Bad appMain.mot file, line 31: data at 0x000001F0, expected at 0x000001D0: the first "
            "1024 bytes must run from 0x000 without gaps\n\nExit updater\n");
}

TEST_F(MicroMode, OldFirmwareSilentOnTheProbeIsSentItsKeysAndProgrammed) {
  FakeLine line;
  SimPeer card(line, {"--old-firmware", "--no-probe-answer"});
  EXPECT_EQ(run({"COM7", "MICRO"}), 0);
  const std::string start =
      "\nFlash is not programmed (BOOT MODE) or using old firmware version"
      "\nMICRO Mode OK...Now starting the FDT programm...\n"
      "\n->CHECKING COMMUNICATION WITH SH2..."
      "\nTime Out...No communication with Boot Program...Maybe there's an old firmware..."
      "\nNow Calling the function to check the version of the firmware..."
      "\nYou are using an old firmware...Now programming the FLASH ...\nBe sure to upload "
      "the most recent firmware \n->CHECKING COMMUNICATION WITH SH2...OK";
  EXPECT_EQ(out.substr(0, start.size()), start);
  EXPECT_NE(out.find("\nEND...REBOOT THE DEVICE!\n\nExit updater\n"), std::string::npos);
  const std::string w = line.writtenText();
  EXPECT_NE(w.find(std::string("\r1$6")), std::string::npos);
}

TEST_F(MicroMode, CardInBootModeIsProgrammedByTheStartUp) {
  FakeLine line;
  SimPeer card(line, {"--boot-mode"});
  EXPECT_EQ(run({"COM7", "MICRO"}), 0);
  EXPECT_EQ(out.find("\nFlash is not programmed (BOOT MODE) or using old firmware version"
                     "\nMICRO Mode OK...Now starting the FDT programm...\n"
                     "\n->CHECKING COMMUNICATION WITH SH2...OK"),
            0u);
  EXPECT_NE(out.find("\nEND...REBOOT THE DEVICE!\n\nTime : 0 minutes 1"), std::string::npos);
  EXPECT_EQ(line.writtenText().find("#DEV"), std::string::npos);  // no identification
}

}  // namespace
