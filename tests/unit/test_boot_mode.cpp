// The boot-mode programmer against the simulated microcontroller on the
// virtual clock: whole runs, every failure path the card can provoke, the
// silences of the boot program and the MICRO mode around it.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "boot/boot_mode.h"
#include "boot/fdt.h"
#include "jobs/modes.h"
#include "link/serial_link.h"
#include "support/fake_line.h"
#include "support/scratch_dir.h"
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

bool endsWith(const std::string& text, const std::string& ending) {
  return text.size() >= ending.size() && text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

const std::string kChecking = "\n->CHECKING COMMUNICATION WITH SH2...";
const std::string kFirstSilence =
    "\nTime Out...No communication with Boot Program...Maybe there's an old firmware..."
    "\nNow Calling the function to check the version of the firmware...";
const std::string kLaterSilence =
    "\nTime out...No old firmware...No communication..Reboot the card and try again..."
    "\nBe sure that the jumpers for the RS-232 commmunications are at the right place";

class BootMode : public testing::Test {
 protected:
  void SetUp() override {
    microKernel = srec::ramp(300, 1);
    mainKernel = srec::ramp(200, 7);
    writeKernel = srec::ramp(150, 9);
    first = srec::ramp(1024, 3);
    second = srec::ramp(200, 100);
    writeFiles();
  }

  void put(const char* name, const std::vector<uint8_t>& bytes) {
    scratch_.write(name, std::string(bytes.begin(), bytes.end()));
  }
  void writeFiles() {
    put(kMicroKernelFile, microKernel);
    put(kMainKernelFile, mainKernel);
    put(kWriteKernelFile, writeKernel);
    scratch_.write(kMicroImageFile, srec::join(srec::image(first, second)));
  }

  // A link onto the installed FakeLine, set to the boot program's rate.
  static std::unique_ptr<SerialLink> bootLink() {
    std::unique_ptr<SerialLink> link = testsupport::openTestLink();
    EXPECT_TRUE(link && link->setBaudRate(9600));
    return link;
  }
  FdtResult fdt(SerialLink& link, bool bootMetSilentBefore = false) {
    testing::internal::CaptureStdout();
    const FdtResult result = FDT(link, bootMetSilentBefore);
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
    std::string s = kChecking + "OK\n->SENDING MICRO KERNEL...\n";
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

  testsupport::ScratchDir scratch_;
  testsupport::ScopedWorkingDir inScratch_{scratch_.path()};
  std::vector<uint8_t> microKernel, mainKernel, writeKernel, first, second;
  std::string out;
};

TEST_F(BootMode, WholeRunWritesTheImageWhereItsAddressesSay) {
  // Just below the wrap of the tick counter: every deadline must hold.
  FakeLine line(0xFFFFF000u);
  SimPeer card(line, {"--boot-mode", "--boot-match-after", "3"});
  auto link = bootLink();
  ASSERT_TRUE(link);
  ASSERT_EQ(fdt(*link), FdtResult::kDone);
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
  // The rate was raised in place, without a reopen.
  EXPECT_EQ(line.baud(), 115200u);
  EXPECT_EQ(line.opens, 1);

  // Micro kernel length 300 = 0x01 0x2C right after 0x55; the main
  // kernel's four length bytes and its sum byte with the constant 0x75.
  const std::string w = line.writtenText();
  std::size_t p = w.find('\x55');
  ASSERT_NE(p, std::string::npos);
  EXPECT_EQ(w.substr(p, 3), std::string("\x55\x01\x2C", 3));
  p = w.find(std::string("\x40\x00\x00\x00\xC8", 5));
  ASSERT_NE(p, std::string::npos);
  EXPECT_EQ(static_cast<uint8_t>(w[p + 5 + 200]), kernelSum(mainKernel.data(), mainKernel.size(), 0x75));
  // The first write block: 0x50, address 0, 128 bytes, sum byte.
  p = w.find(std::string("\x50\x00\x00\x00\x00", 5) + std::string(first.begin(), first.begin() + 128));
  ASSERT_NE(p, std::string::npos);
  EXPECT_EQ(static_cast<uint8_t>(w[p + 133]), writeBlockSum(0, first.data()));
}

TEST_F(BootMode, NothingAfterTheFirstKilobyteSendsNoSecondPhaseBlock) {
  second.clear();
  writeFiles();
  FakeLine line;
  SimPeer card(line, {"--boot-mode"});
  auto link = bootLink();
  ASSERT_TRUE(link);
  ASSERT_EQ(fdt(*link), FdtResult::kDone);
  EXPECT_TRUE(endsWith(out, "\n->WRITING .MOT FILE  TO FLASH MEMORY...\n\rJob at 100 %      \n\rOK"
                            "\nEND...REBOOT THE DEVICE!\n"))
      << out;
  EXPECT_EQ(line.writtenText().find(std::string("\x50\x00\x00\x08\x00", 5)), std::string::npos);
}

TEST_F(BootMode, FailuresEndTheCallWithTheirMessage) {
  struct Case {
    std::vector<std::string> options;  // of the card, after --boot-mode
    const char* missingFile;           // removed before the call
    bool stalledLine;                  // no write moves a byte
    std::string ending;                // the output ends with this
  };
  const Case cases[] = {
      {{"--boot-erase-fail"}, nullptr, false, "\n\rOKError during erasing of the flash"},
      {{"--boot-no-aa"}, nullptr, false, "\nTime Out 4"},
      {{"--boot-bad-inquiry"}, nullptr, false, "\n->SET PARAMETERS...\nError 2"},
      {{"--boot-no-ack", "device"}, nullptr, false, "\nACK NOT received  DEVICE!!"},
      {{"--boot-no-ack", "clock"}, nullptr, false, "\nACK NOT received  SElect CLOCK MODE!!"},
      {{"--boot-no-ack", "bitrate"}, nullptr, false, "\nACK NOT received  Changing Baud RAte!!"},
      {{"--boot-no-ack", "confirm"}, nullptr, false, "\nACK NOT  received  Baud Rate !!!!"},
      {{"--boot-no-ack", "transition"}, nullptr, false, "\nACK NOT  received   Finish Data Set !!!!"},
      {{"--boot-no-ack", "main-kernel"}, nullptr, false,
       "\n->SENDING MAIN KERNEL...\nACK NOT received MAIN KERNEL ..66"},
      {{"--boot-bad-status-sum", "1"}, nullptr, false, "\n->Set PARAMETERS...Error checking sum 00 ....9c"},
      {{"--boot-no-ack", "prepare-user"}, nullptr, false, "\nACK NOT RECEIVE PrepareUser"},
      {{"--boot-no-ack", "block:3"}, nullptr, false, "TO FLASH MEMORY...\n\nACK NOT received  :( "},
      {{"--boot-refuse-block", "9"}, nullptr, false, progress(128 * 100.0 / 200 - 0.05) + "\nACK NOT received  :( "},
      // A file that went missing after the check is reported at its stage.
      {{}, kMicroKernelFile, false, "...OK\n->SENDING MICRO KERNEL...\n/nFile load error\n"},
      {{}, kMainKernelFile, false, "\n->SENDING MAIN KERNEL.../nFile load error\n"},
      {{}, kWriteKernelFile, false, "\n->Set PARAMETERS...OK/nFile load error\n"},
      {{}, kMicroImageFile, false, "\n->WRITING .MOT FILE  TO FLASH MEMORY...\n/nFile load error\n"},
      // The first knock cannot be written: the stall limit ends it.
      {{}, nullptr, true, kChecking + "\nUnable to write on the COM port\nCheck if the jumpers are at the right place"},
  };
  for (const Case& c : cases) {
    const std::string name = c.missingFile ? c.missingFile : c.stalledLine ? "stall" : c.options[0];
    writeFiles();
    if (c.missingFile) std::remove(c.missingFile);
    FakeLine line;
    std::vector<std::string> args{"--boot-mode"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    SimPeer card(line, args);
    auto link = bootLink();
    ASSERT_TRUE(link);
    line.stallWrites = c.stalledLine;
    const uint64_t start = line.now();
    const int before = openFiles();
    EXPECT_EQ(fdt(*link), FdtResult::kFailed) << name;
    EXPECT_EQ(openFiles(), before) << name << ": a file was left open";
    EXPECT_TRUE(endsWith(out, c.ending)) << name << "\n" << out.substr(out.size() > 300 ? out.size() - 300 : 0);
    EXPECT_EQ(out.find("END...REBOOT"), std::string::npos);
    if (c.stalledLine) {
      // 100 ms per stalled one-byte write, until 3 s have passed without progress.
      EXPECT_GE(line.now() - start, 3000u);
      EXPECT_LE(line.now() - start, 3200u);
    }
  }
}

TEST_F(BootMode, IrregularAnswersThatArePassedOver) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--boot-no-ack", "write-kernel"}, "\n->Set PARAMETERS...OK\nACK NOT received  FDTWrite \n->WRITING"},
      {{"--boot-bad-status-sum", "2"}, "\n->WRITING .MOT FILE  TO FLASH MEMORY...\nError checking sum BINARY00 ....9b "},
  };
  for (const auto& c : cases) {
    FakeLine line;
    std::vector<std::string> args{"--boot-mode"};
    args.insert(args.end(), c.first.begin(), c.first.end());
    SimPeer card(line, args);
    auto link = bootLink();
    ASSERT_TRUE(link);
    EXPECT_EQ(fdt(*link), FdtResult::kDone) << c.first[0];
    EXPECT_NE(out.find(c.second), std::string::npos) << c.first[0] << "\n" << out.substr(0, 400);
    std::vector<uint8_t> flash = flashOf(line, card);
    ASSERT_EQ(flash.size(), kFlashSize);
    EXPECT_TRUE(std::equal(second.begin(), second.end(), flash.begin() + 0x800));
  }
}

TEST_F(BootMode, UnconfirmedBitRateGivesUpAfterFiveRetriesAndSaysSo) {
  FakeLine line;
  SimPeer card(line, {"--boot-mode", "--boot-no-sync-aa"});
  auto link = bootLink();
  ASSERT_TRUE(link);
  EXPECT_EQ(fdt(*link), FdtResult::kFailed);
  const std::string retry = "\nTime Out...Retry...";
  EXPECT_EQ(out, kChecking + retry + retry + retry + retry + retry +
                     "\nNo 0xAA from the boot program after 5 retries: bit rate matching failed");
  // Five waits of 2 s for the 0xAA; the sixth attempt ends at its first read.
  EXPECT_GE(line.now(), 10000u);
  EXPECT_LT(line.now(), 10500u);
}

// A boot program that answers the matching only from a given time on, and
// nothing after the 0xAA.
class LateBootProgram : public testsupport::Peer {
 public:
  uint64_t answersFrom = 0;
  void onWrite(const uint8_t* data, std::size_t n, uint32_t, FakeLine& line) override {
    for (std::size_t i = 0; i < n; ++i) {
      if (line.now() < answersFrom) continue;
      if (data[i] == 0x00) line.deliver(std::vector<uint8_t>{0x00});
      if (data[i] == 0x55) line.deliver(std::vector<uint8_t>{0xAA});
    }
  }
};

TEST_F(BootMode, SilentBootProgramHintsAtOldFirmwareOnceThenRemindsOncePerWindow) {
  LateBootProgram boot;
  boot.answersFrom = UINT64_MAX;
  FakeLine line;
  line.setPeer(&boot);
  auto link = bootLink();
  ASSERT_TRUE(link);

  // The first call of the run gives up after 10 s of silence.
  EXPECT_EQ(fdt(*link, false), FdtResult::kBootSilent);
  EXPECT_EQ(out, kChecking + kFirstSilence);
  EXPECT_GE(line.now(), 10000u);
  EXPECT_LT(line.now(), 10100u);

  // A later call waits for the rebooted card, reminding the operator once
  // per 10 s of silence; the boot program answers after 25 s.
  const uint64_t start = line.now();
  boot.answersFrom = start + 25000;
  EXPECT_EQ(fdt(*link, true), FdtResult::kFailed);
  EXPECT_EQ(out, kChecking + kLaterSilence + kLaterSilence + "OK\n->SENDING MICRO KERNEL...\n\nTime Out1");
  EXPECT_GE(line.now() - start, 30000u);  // 25 s of knocking, 5 s without an echo
  EXPECT_LT(line.now() - start, 30100u);
}

TEST_F(BootMode, ChangeBaudRateReopensThePortAtTheNewRate) {
  FakeLine line;
  auto link = testsupport::openTestLink();
  ASSERT_TRUE(link);
  link->setTimeouts(SerialLink::kSlice50);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(changebaudrate(*link, 9600));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(line.opens, 2);
  EXPECT_EQ(line.baud(), 9600u);
  EXPECT_EQ(line.dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
  EXPECT_EQ(line.dcb.ByteSize, 8);
  EXPECT_EQ(line.timeouts.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(line.timeouts.ReadTotalTimeoutConstant, 1u);
  EXPECT_EQ(line.timeouts.WriteTotalTimeoutMultiplier, 100u);

  // A device that cannot be opened ends it without a message.
  line.openError = 2;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(changebaudrate(*link, 115200));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_FALSE(link->isOpen());
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
  EXPECT_TRUE(endsWith(out, "\nEND...REBOOT THE DEVICE!\n\nTotal Time : 0 minutes 13 seconds\n\nExit updater\n"))
      << out.substr(out.size() > 300 ? out.size() - 300 : 0);
  std::vector<uint8_t> flash = flashOf(line, card);
  ASSERT_EQ(flash.size(), kFlashSize);
  EXPECT_TRUE(std::equal(first.begin(), first.end(), flash.begin()));
}

TEST_F(MicroMode, UnansweredModeCommandIsNotFollowedByTheSecond) {
  // A boot program listening at 9600 bit/s does not hear "#MICROMODE\r".
  FakeLine line;
  SimPeer card(line, {"--boot-mode"});
  auto link = testsupport::openTestLink();
  ASSERT_TRUE(link);
  testing::internal::CaptureStdout();
  EXPECT_EQ(ProgramMicro(*link), Outcome::Success);
  out = testing::internal::GetCapturedStdout();
  const std::string w = line.writtenText();
  EXPECT_EQ(w.find("#MICROMODE\r"), 0u);
  EXPECT_EQ(w.find("#MICRO\r"), std::string::npos);
  EXPECT_NE(out.find("END...REBOOT THE DEVICE!\n\nTotal Time : 0 minutes 1"), std::string::npos);
}

TEST_F(MicroMode, FailuresInsideTheProgrammerEndWithStatusOneAndTheTime) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      // Silent on the first call: no second attempt from the mode.
      {{"--boot-silent", "always"},
       kChecking + kFirstSilence + "\nTotal Time : 0 minutes 10 seconds\n\nExit updater\n"},
      {{"--boot-erase-fail"}, "Error during erasing of the flash\nTotal Time : "},
  };
  for (const auto& c : cases) {
    FakeLine line;
    std::vector<std::string> args{"--model", "HDMITOSDI"};
    args.insert(args.end(), c.first.begin(), c.first.end());
    SimPeer card(line, args);
    EXPECT_EQ(run({"COM7", "MICRO"}), 1) << c.first[0];
    EXPECT_NE(out.find(c.second), std::string::npos) << c.first[0] << "\n" << out;
  }
}

TEST_F(MicroMode, BadFilesAreRefusedBeforeAnyByteGoesOut) {
  std::vector<std::string> corrupt = srec::image(first, second);
  corrupt[30] = srec::s3(0x1F0, srec::ramp(16));
  const std::string corruptLine =
      "Bad appMain.mot file, line 31: data at 0x000001F0, expected at 0x000001D0: the first "
      "1024 bytes must run from 0x000 without gaps\n";
  struct Case {
    const char* name;
    std::function<void()> spoil;
    std::string message;
  };
  const Case cases[] = {
      {"corrupt image", [&] { scratch_.write(kMicroImageFile, srec::join(corrupt)); }, corruptLine},
      {"missing kernel", [&] { std::remove(kWriteKernelFile); },
       "Bad Genw7144.cde file: not found in the current directory\n"},
      {"long kernel", [&] { put(kMicroKernelFile, srec::ramp(4001)); },
       "Bad uGen7144.cde file: longer than the 4000 bytes a kernel may hold\n"},
      {"empty kernel", [&] { put(kMainKernelFile, {}); }, "Bad Genm7144.cde file: it is empty\n"},
      {"every problem at once",
       [&] {
         std::remove(kMicroKernelFile);
         scratch_.write(kMicroImageFile, srec::join(corrupt));
       },
       "Bad uGen7144.cde file: not found in the current directory\n" + corruptLine},
  };
  for (const Case& c : cases) {
    writeFiles();
    c.spoil();
    FakeLine line;
    SimPeer card(line, {"--model", "HDMITOSDI"});
    EXPECT_EQ(run({"COM7", "MICRO"}), 1) << c.name;
    EXPECT_TRUE(line.written.empty()) << c.name;
    EXPECT_EQ(out, c.message + "\nExit updater\n") << c.name;
  }
  // A kernel of exactly 4000 bytes is sent whole.
  writeFiles();
  put(kMicroKernelFile, srec::ramp(4000));
  FakeLine line;
  SimPeer card(line, {"--boot-mode"});
  EXPECT_EQ(run({"COM7", "MICRO"}), 0) << out.substr(0, 300);
  EXPECT_EQ(card.state().load("boot_micro_kernel.bin"), srec::ramp(4000));
}

TEST_F(MicroMode, OldFirmwareSilentOnTheProbeIsSentItsKeysAndProgrammed) {
  FakeLine line;
  SimPeer card(line, {"--old-firmware", "--no-probe-answer"});
  EXPECT_EQ(run({"COM7", "MICRO"}), 0);
  const std::string start =
      "\nFlash is not programmed (BOOT MODE) or using old firmware version"
      "\nMICRO Mode OK...Now starting the FDT programm...\n" +
      kChecking + kFirstSilence +
      "\nYou are using an old firmware...Now programming the FLASH ...\nBe sure to upload "
      "the most recent firmware " +
      kChecking + "OK";
  EXPECT_EQ(out.substr(0, start.size()), start);
  EXPECT_NE(out.find("\nEND...REBOOT THE DEVICE!\n\nExit updater\n"), std::string::npos);
  EXPECT_NE(line.writtenText().find(std::string("\r1$6")), std::string::npos);
}

TEST_F(MicroMode, CardInBootModeIsProgrammedByTheStartUp) {
  FakeLine line;
  SimPeer card(line, {"--boot-mode"});
  EXPECT_EQ(run({"COM7", "MICRO"}), 0);
  EXPECT_EQ(out.find("\nFlash is not programmed (BOOT MODE) or using old firmware version"
                     "\nMICRO Mode OK...Now starting the FDT programm...\n" +
                     kChecking + "OK"),
            0u);
  EXPECT_NE(out.find("\nEND...REBOOT THE DEVICE!\n\nTime : 0 minutes 1"), std::string::npos);
  EXPECT_EQ(line.writtenText().find("#DEV"), std::string::npos);  // no identification
}

// The sum bytes of a write block and of a kernel.
TEST(WriteBlockSum, CompletesCommandAddressAndDataToZero) {
  std::vector<unsigned char> ff(128, 0xFF), zero(128, 0x00);
  EXPECT_EQ(writeBlockSum(0x800, ff.data()), 0x28);
  EXPECT_EQ(writeBlockSum(0x000, zero.data()), 0xB0);
  std::vector<unsigned char> ramp = srec::ramp(128);
  unsigned sum = 0x50 + 0x00 + 0x01 + 0x23 + 0x80;
  for (unsigned char b : ramp) sum += b;
  EXPECT_EQ((sum + writeBlockSum(0x00012380, ramp.data())) & 0xFF, 0u);
}

TEST(KernelSum, AddsTheKernelsConstantInPlaceOfTheLength) {
  const unsigned char sums8B[2] = {0x80, 0x0B};
  EXPECT_EQ(kernelSum(sums8B, 2, kMainKernelConstant), 0x00);
  EXPECT_EQ(kernelSum(sums8B, 0, kMainKernelConstant), 0x8B);
  EXPECT_EQ(kernelSum(sums8B, 0, kWriteKernelConstant), 0x66);
}

}  // namespace
