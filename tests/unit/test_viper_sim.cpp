// VIPER, VERIFY and ALL in-process against the simulated card on the
// virtual clock: whole jobs, injected faults, the flash left behind.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "jobs/job_findings.h"
#include "jobs/modes.h"
#include "link/serial_link.h"
#include "support/fake_line.h"
#include "support/scratch_dir.h"
#include "support/sim_peer.h"
#include "support/updater_run.h"

namespace {

using testsupport::FakeLine;
using testsupport::SimPeer;
using Bytes = std::vector<uint8_t>;

Bytes readFile(const std::string& path) {
  Bytes b;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return b;
  int c;
  while ((c = std::fgetc(f)) != EOF) b.push_back(static_cast<uint8_t>(c));
  std::fclose(f);
  return b;
}

void writeFile(const std::string& path, const Bytes& b) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!b.empty()) std::fwrite(b.data(), 1, b.size(), f);
  std::fclose(f);
}

Bytes pattern(std::size_t n, unsigned seed) {
  Bytes b(n);
  for (std::size_t k = 0; k < n; ++k) b[k] = static_cast<uint8_t>((k * 13 + seed) ^ (k >> 7));
  return b;
}

// A driver image as the card knows it: its tag at the entry address 0x800.
Bytes driver(const std::string& tag) {
  Bytes b = pattern(0x1000, 99);
  std::memcpy(&b[0x800], tag.c_str(), tag.size() + 1);
  return b;
}

Bytes padded(Bytes b) {
  b.resize((b.size() + 31) / 32 * 32, 0xFF);
  return b;
}

int count(const std::string& s, const std::string& what) {
  int n = 0;
  for (std::size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
  return n;
}

class ViperSim : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile("FDriver.bin", driver("FDRIVER"));
    writeFile("SFDriver.bin", driver("SFDRIVER"));
  }
  void TearDown() override {
    link.reset();
    card.reset();
  }
  // A fresh card (and link) each time: the card before goes first.
  void startCard(std::vector<std::string> args = {}) {
    link.reset();
    card.reset();
    args.insert(args.begin(), {"--model", "HDMITOSDI"});
    card = std::make_unique<SimPeer>(line, args, dir.file("state"));
    link = testsupport::openTestLink();
    ASSERT_TRUE(link);
  }
  Outcome viper(int device, const char* file, bool verifyAfterWrite = false,
                JobFindings* findings = nullptr) {
    return run([&] { return ProgramViper(*link, device, file, verifyAfterWrite, findings); });
  }
  Outcome run(const std::function<Outcome()>& job) {
    testing::internal::CaptureStdout();
    const Outcome o = job();
    out = testing::internal::GetCapturedStdout();
    return o;
  }
  bool cardNoted(const std::string& text) const {
    for (const std::string& n : card->notes())
      if (n.find(text) != std::string::npos) return true;
    return false;
  }
  Bytes flash(int device) {
    return readFile(dir.file("state/flash" + std::to_string(device) + ".bin"));
  }

  FakeLine line;
  testsupport::ScratchDir dir;
  testsupport::ScopedWorkingDir cwd{dir.path()};
  std::unique_ptr<SimPeer> card;
  std::unique_ptr<SerialLink> link;
  std::string out;
};

TEST_F(ViperSim, WritesDevices1And5And7) {
  startCard();
  const Bytes d5 = pattern(0x1000 + 40, 5);  // last block padded with 0xFF
  const Bytes d1 = pattern(0x800, 1);
  const Bytes d7 = pattern(0x100, 7);  // header only
  writeFile("Device5.bin", d5);
  writeFile("Device1.bin", d1);
  writeFile("Device7.bin", d7);

  uint64_t start = line.now();
  EXPECT_EQ(viper(5, "Device5.bin"), Outcome::Success) << out;
  EXPECT_EQ(flash(5), padded(d5));
  EXPECT_EQ(out.rfind("Loading ISP Driver...\nFile Size : 4096 bytes\nSoft Reset...\n"
                      "Waiting 5 sec...\nBegin Job...\n",
                      0),
            0u)
      << out;
  EXPECT_NE(out.find("\nCalling ISP Driver...\n\n\nTime : 0 minutes 6 seconds\n"
                     "Programm Device5.bin ...\nFile Size : 4136 bytes\nSetting ISP Mode...\n"
                     "Erasing device...\nBegin Job... Data ..\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\rJob at 100%\t\t\t\t\nSoft Reset.\n\nTime : 0 minutes 20 seconds\n"
                     "\nTotal Time : 0 minutes 2"),
            std::string::npos)
      << out;
  EXPECT_GE(line.now() - start, 27500u);

  start = line.now();
  EXPECT_EQ(viper(1, "Device1.bin"), Outcome::Success) << out;
  EXPECT_EQ(flash(1), d1);
  EXPECT_NE(out.find("Programm Device1.bin ...\nFile Size : 2048 bytes\nSetting ISP Mode...\n"
                     "Begin Job...\n"),
            std::string::npos);
  EXPECT_GE(line.now() - start, 22000u);

  EXPECT_EQ(viper(7, "Device7.bin"), Outcome::Success) << out;
  EXPECT_EQ(flash(7), d7);
  EXPECT_EQ(flash(5), padded(d5));  // untouched

  // Read back: equal, then an image with three differing words, which
  // fails the mode though the whole image was compared.
  testing::internal::CaptureStdout();
  EXPECT_EQ(ProgramVerify(*link, 5, "Device5.bin"), Outcome::Success);
  out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("\rJob at 100% ----- Mismatch Total 0 \t\t\t\t\n"), std::string::npos) << out;
  Bytes changed = d5;
  changed[0] ^= 0xFF;
  changed[1] ^= 0x01;  // same word as byte 0
  changed[0x801] ^= 0x10;
  changed[0x1000 + 39] ^= 0x02;  // the last byte of the file
  writeFile("Device5.bin", changed);
  testing::internal::CaptureStdout();
  EXPECT_EQ(ProgramVerify(*link, 5, "Device5.bin"), Outcome::Failure);
  out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("\rJob at 100% ----- Mismatch Total 3 \t\t\t\t\n"), std::string::npos) << out;
}

TEST_F(ViperSim, SurvivesRefusalsLostAnswersAndSpoiledFrames) {
  startCard({"--vxp-fault", "nack@flash-write:3", "--vxp-fault", "echo@flash-write:6",
             "--vxp-fault", "silence@flash-write:9", "--vxp-fault", "noise@flash-write:12",
             "--vxp-fault", "cut@flash-write:14", "--vxp-fault", "badsum@flash-write:16",
             "--vxp-fault", "slow@flash-write:18",
             "--vxp-fault", "nack@flash-write:40x6"});
  const Bytes d5 = pattern(0x800, 55);
  writeFile("Device5.bin", d5);
  EXPECT_EQ(viper(5, "Device5.bin"), Outcome::Success) << out;
  EXPECT_EQ(flash(5), d5);
  EXPECT_EQ(count(out, "\nNACK received. Retry ... \n"), 8);  // 1 + echo + 6
  EXPECT_EQ(count(out, "Unable to send command. Exit.SendISP\n"), 1);
  EXPECT_EQ(count(out, "Bad checksum\n"), 1);
  EXPECT_GE(count(out, "Timeout. Retry...SendISP\n"), 11);
}

TEST_F(ViperSim, DriverThatCannotServeTheDevice) {
  startCard();
  writeFile("Device1.bin", pattern(0x400, 1));
  // The FDriver cannot program device 1: the card refuses ISP mode.
  writeFile("SFDriver.bin", driver("FDRIVER"));
  EXPECT_EQ(viper(1, "Device1.bin"), Outcome::Failure);
  EXPECT_NE(out.find("Setting ISP Mode...\n\nNACK received. Retry ... \n"), std::string::npos)
      << out;
  EXPECT_TRUE(flash(1).empty());
}

TEST_F(ViperSim, RefusedClosingCommandFailsTheRunButKeepsTheFlash) {
  startCard({"--micro-fault", "unknown@E"});
  const Bytes d7 = pattern(0x200, 7);
  writeFile("Device7.bin", d7);
  EXPECT_EQ(viper(7, "Device7.bin"), Outcome::Failure);
  EXPECT_EQ(flash(7), d7);
  EXPECT_NE(out.find("Invalid command from micro ...\n\n=ME\r\n\nTotal Time : "),
            std::string::npos)
      << out;
}

TEST_F(ViperSim, AllWritesDevice5ThenDevice1) {
  startCard();
  UpdateFiles bothDevices;
  bothDevices.device1 = bothDevices.device5 = true;
  const Bytes d5 = pattern(0x300, 5), d1 = pattern(0x300, 1);
  writeFile("Device5.bin", d5);
  writeFile("Device1.bin", d1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(ProgramALL(*link, bothDevices), Outcome::Success);
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(flash(5), d5);
  EXPECT_EQ(flash(1), d1);
  const std::string wire = line.writtenText();
  const std::size_t firstEnd = wire.find("=ME\r");
  ASSERT_NE(firstEnd, std::string::npos);
  EXPECT_NE(wire.find("=ME\r", firstEnd + 1), std::string::npos);
  const std::size_t p5 = out.find("Program Device5.bin ...\n");
  const std::size_t p1 = out.find("Program Device1.bin ...\n");
  EXPECT_LT(p5, p1);
  EXPECT_NE(out.find("\nTotal Time : "), std::string::npos);
  // The quick profile stays in force after the loads.
  EXPECT_EQ(link->timeouts().ReadIntervalTimeout, 0u);
  EXPECT_EQ(link->timeouts().ReadTotalTimeoutConstant, 1u);
  EXPECT_EQ(link->timeouts().WriteTotalTimeoutConstant, 1u);

  // A failed load stops the pass with the prompt and no total time.
  std::remove("FDriver.bin");
  testing::internal::CaptureStdout();
  EXPECT_EQ(ProgramALL(*link, bothDevices), Outcome::Failure);
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "Loading ISP Driver...\nUnable to open file : FDriver.bin\n"
                 "Press a key to continue ... ");
}

// An acknowledgement with a bad checksum or length proves nothing: a
// refusal damaged on the line looks the same.  Those blocks (and the last of
// their phase) are read back before the closing reset; a driver block is
// simply sent again.
TEST_F(ViperSim, DoubtfulAcknowledgementsAreReadBackBeforeTheClosingReset) {
  struct Case {
    int device;
    const char* fault;
    Outcome outcome;
    const char* message;
  };
  const Case cases[] = {
      // The refused block stays erased and the next ones land one place early.
      {5, "garbled@flash-write:5", Outcome::Failure,
       "Reading back 2 block(s) whose acknowledgement was unclear ...\n"
       "Block 0x00000180 was not written: its acknowledgement was a damaged refusal. Exit.\n"},
      {5, "garbled@flash-write:last", Outcome::Failure, "Block 0x000000e0 was not written"},
      {1, "garbled@flash-write:3", Outcome::Failure, "Block 0x00000040 was not written"},
      // Written after all: the read-back agrees.
      {5, "badsum@flash-write:5", Outcome::Success, "Reading back 2 block(s)"},
      {1, "wronglen@flash-write:3", Outcome::Success, "Reading back 2 block(s)"},
      {5, "garbled@driver-write:1", Outcome::Success, "Bad checksum\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    std::filesystem::remove_all(dir.file("state"));
    startCard({"--vxp-fault", c.fault});
    const Bytes image = pattern(0x400, 9);
    const std::string name = "Device" + std::to_string(c.device) + ".bin";
    writeFile(name, image);
    line.keys = {' '};
    EXPECT_EQ(viper(c.device, name.c_str()), c.outcome);
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
    EXPECT_EQ(cardNoted("micro command =MA"), c.outcome == Outcome::Success);
    if (c.outcome == Outcome::Success) {
      EXPECT_EQ(flash(c.device), image);
    }
  }
}

TEST_F(ViperSim, FilesThatCannotGoWholeAreRefusedBeforeTheCardIsTouched) {
  startCard();
  struct Case {
    int device;  // 0: ALL with Device5.bin and Device1.bin
    const char* file;
    std::size_t size;
    const char* message;
  };
  const Case cases[] = {
      {5, "Device5.bin", 0xFF, "Image too short : Device5.bin has 255 bytes"},
      {7, "Device7.bin", 0x200001, "Image too long : Device7.bin has more than 2097152 bytes"},
      {1, "SFDriver.bin", 0x2010, "Driver too long : SFDriver.bin has more than 8192 bytes"},
      {0, "Device1.bin", 0x200001, "Image too long : Device1.bin"},
  };
  for (const Case& c : cases) {
    SetUp();  // the drivers again
    for (const char* name : {"Device1.bin", "Device5.bin", "Device7.bin"})
      writeFile(name, pattern(0x400, 1));
    writeFile(c.file, pattern(c.size, 2));
    line.written.clear();
    UpdateFiles both;
    both.device1 = both.device5 = true;
    const std::string image = "Device" + std::to_string(c.device) + ".bin";
    const Outcome o = c.device == 0 ? run([&] { return ProgramALL(*link, both); })
                                    : viper(c.device, image.c_str());
    EXPECT_EQ(o, Outcome::Failure) << c.file;
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
    EXPECT_TRUE(line.written.empty()) << c.file;
  }
}

// --verify reads each written device back through VERIFY; a word that was
// acknowledged but never programmed fails the run, which names the word's
// address and "verify" as the step that failed.
TEST_F(ViperSim, VerifyAfterWriteCatchesAWordThatDidNotProgram) {
  UpdateFiles both;
  both.device1 = both.device5 = true;
  struct Case {
    const char* name;
    const char* fault;  // none: ""
    bool all;
    Outcome outcome;
    const char* message;
    long firstMismatch;  // -1: none differs
  };
  const Case cases[] = {
      {"VIPER", "", false, Outcome::Success, "Mismatch Total 0 ", -1},
      {"VIPER, a data word", "noprogram=3@flash-write:4", false, Outcome::Failure,
       "\rJob at 100% ----- Mismatch Total 1 \t\t\t\t\n\nTotal Time : 0 minutes 0 seconds\n"
       "Verify failed : 1 words of device 5 differ from Device5.bin.\n"
       "First differing words at 0x000166.\n"
       "Press a key to continue ... ",
       0x166},
      {"VIPER, a header word", "noprogram=5@flash-write:last", false, Outcome::Failure,
       "Verify failed : 1 words of device 5", -2},
      {"ALL", "", true, Outcome::Success, "\nVerifying Device1.bin ...\n", -1},
      {"ALL, a device 1 word", "noprogram=2@flash-write:27", true, Outcome::Failure,
       "Verify failed : 1 words of device 1 differ from Device1.bin.", -2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir.file("state"));
    startCard(*c.fault ? std::vector<std::string>{"--vxp-fault", c.fault}
                       : std::vector<std::string>{});
    writeFile("Device5.bin", pattern(0x300, 5));
    writeFile("Device1.bin", pattern(0x300, 1));
    line.keys = {' '};
    JobFindings findings;
    const Outcome o = c.all ? run([&] { return ProgramALL(*link, both, true, &findings); })
                            : viper(5, "Device5.bin", true, &findings);
    EXPECT_EQ(o, c.outcome);
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
    EXPECT_TRUE(findings.compared);
    EXPECT_EQ(findings.failedStep, c.outcome == Outcome::Success ? "" : "verify");
    EXPECT_EQ(findings.mismatches.count, c.outcome == Outcome::Success ? 0u : 1u);
    if (c.firstMismatch != -2) {
      EXPECT_EQ(findings.mismatches.listed > 0 ? long(findings.mismatches.first[0]) : -1L,
                c.firstMismatch);
    }
    // Every device verified before the failing one read back equal.
    const int verified = (c.all ? 2 : 1) - (c.outcome == Outcome::Success ? 0 : 1);
    EXPECT_EQ(count(out, "Mismatch Total 0 "), verified);
  }
}

// READ: the file appears only once every block arrived from a well-formed
// answer; any failure leaves neither the file nor its temporary.
TEST_F(ViperSim, ReadSavesTheDeviceOnlyWhenEveryBlockArrived) {
  std::filesystem::create_directories(dir.file("state"));
  const Bytes d5 = pattern(0x1000, 5), d1 = pattern(0x2000, 1);
  writeFile(dir.file("state/flash5.bin"), d5);
  writeFile(dir.file("state/flash1.bin"), d1);
  struct Case {
    const char* name;
    std::vector<std::string> faults;
    int device;
    unsigned long bytes;
    Outcome outcome;
    const char* message;
  };
  const Case cases[] = {
      {"clean", {}, 5, 0x1000, Outcome::Success,
       "Reading device 5 : 4096 bytes into backup.bin\nSetting ISP Mode...\n"},
      {"a partial last block", {}, 5, 0x0FF1, Outcome::Success,
       "\rJob at 100%\t\t\t\t\n\nTotal Time : "},
      {"spoiled answers read again",
       {"short@flash-read:2", "badsum@flash-read:5", "otherid@flash-read:7",
        "wronglen@flash-read:9", "nack@flash-read:11", "garbled@flash-read:13",
        "cut@flash-read:15"},
       5, 0x1000, Outcome::Success, "Saved backup.bin : 4096 bytes.\n"},
      {"all of device 1", {}, 1, 0, Outcome::Success, "Saved backup.bin : 1048576 bytes.\n"},
      {"a block refused seven times", {"nack@flash-read:middlex7"}, 5, 0x1000, Outcome::Failure,
       "Block 0x00000800 failed 7 times. Exit.\nNothing was saved: backup.bin was not written.\n"
       "Press a key to continue ... "},
      {"another device set", {"wrongdev@mode-status:1"}, 5, 0x1000, Outcome::Failure,
       "Device not setted !\nNothing was saved"},
      {"past the device's end", {}, 1, 0x100001, Outcome::Failure,
       "Byte count 1048577 is more than flash device 1 holds (1048576).\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args;
    for (const std::string& f : c.faults) args.insert(args.end(), {"--vxp-fault", f});
    startCard(args);
    line.keys = {' '};
    EXPECT_EQ(run([&] { return ProgramRead(*link, c.device, "backup.bin", c.bytes); }), c.outcome);
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists(dir.file("backup.bin.part")));
    if (c.outcome == Outcome::Success) {
      Bytes expected = c.device == 5 ? d5 : d1;
      expected.resize(c.bytes != 0 ? c.bytes : 0x100000, 0xFF);
      EXPECT_EQ(readFile("backup.bin"), expected);
    } else {
      EXPECT_FALSE(std::filesystem::exists(dir.file("backup.bin")));
    }
    std::remove("backup.bin");
  }
}

}  // namespace
