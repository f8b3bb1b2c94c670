// VIPER, VERIFY and ALL in-process against the simulated card on the
// virtual clock: whole jobs, injected faults, the flash left behind.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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
  void startCard(std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"--model", "HDMITOSDI"});
    card = std::make_unique<SimPeer>(line, args, dir.file("state"));
    link = testsupport::openTestLink();
    ASSERT_TRUE(link);
  }
  Outcome viper(int device, const char* file) {
    testing::internal::CaptureStdout();
    const Outcome o = ProgramViper(*link, device, file);
    out = testing::internal::GetCapturedStdout();
    return o;
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

}  // namespace
