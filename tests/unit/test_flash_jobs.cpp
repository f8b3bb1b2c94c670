// The flash loader, the flash verify and the status report against a small
// scripted video processor on the virtual clock.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "isp/isp_message.h"
#include "isp/line_encoding.h"
#include "jobs/flash_loader.h"
#include "jobs/modes.h"
#include "link/serial_link.h"
#include "support/fake_line.h"
#include "support/isp_peer.h"
#include "support/scratch_dir.h"
#include "support/scripted_vxp.h"
#include "support/updater_run.h"

namespace {

using testsupport::FakeLine;
using Bytes = std::vector<uint8_t>;
using Words = std::vector<uint16_t>;

// Acknowledges every request, keeps a flash image per device and answers
// reads from it; refusals are scheduled per request kind.
class MiniVxp : public testsupport::IspPeer {
 public:
  std::map<int, Bytes> flash;
  int modeDevice = 0;
  int reportedDevice = -1;  // the status answer's device; -1: the real one
  uint32_t address = 0;
  // Numbers (1-based, per header word) of the requests answered with a NACK.
  std::map<uint16_t, std::set<int>> nack;
  std::map<uint16_t, int> seen;
  std::function<bool(const Words&, FakeLine&)> override_;  // true: answered

  static Bytes frameOf(Words w) {
    w.resize(ispWords(w[0]));
    createChecksum(w.data());
    Bytes raw;
    for (uint16_t x : w) {
      raw.push_back(static_cast<uint8_t>(x));
      raw.push_back(static_cast<uint8_t>(x >> 8));
    }
    Bytes f(2 * raw.size() + 4);
    f.resize(yEncode(f.data(), raw.data(), static_cast<int>(raw.size())));
    return f;
  }

  std::vector<Words> withHeader(uint16_t h) const {
    std::vector<Words> out;
    for (const Words& w : requests)
      if (w[0] == h) out.push_back(w);
    return out;
  }

 private:
  void onMicroCommand(char, FakeLine& line) override { line.deliver(std::string("=M*"), 1); }
  void onRequest(const Words& w, FakeLine& line) override {
    if (override_ && override_(w, line)) return;
    const int nth = ++seen[w[0]];
    if (nack.count(w[0]) && nack[w[0]].count(nth)) {
      line.deliver(frameOf({0x1002, ispId(w[0]), 0x1234}), 2);
      return;
    }
    switch (w[0]) {
      case kIspModeRequest:
        modeDevice = w[2];
        address = w[3] | (uint32_t(w[4]) << 16);
        break;
      case kIspModeStatusRequest:
        line.deliver(frameOf({0x0001, static_cast<uint16_t>(reportedDevice < 0 ? modeDevice
                                                                               : reportedDevice)}),
                     2);
        return;
      case kFlashWriteRequest: {
        Bytes& f = flash[modeDevice];
        if (f.size() < address + 32) f.resize(address + 32, 0xFF);
        for (int k = 0; k < 16; ++k) {
          f[address + 2 * k] = static_cast<uint8_t>(w[1 + k]);
          f[address + 2 * k + 1] = static_cast<uint8_t>(w[1 + k] >> 8);
        }
        address += 32;
        break;
      }
      case kFlashReadRequest: {
        Bytes& f = flash[modeDevice];
        Words a = {0xF73A};
        for (int k = 0; k < 16; ++k) {
          const uint32_t at = address + 2 * k;
          a.push_back(at + 1 < f.size() ? static_cast<uint16_t>(f[at] | f[at + 1] << 8) : 0xFFFF);
        }
        address += 32;
        line.deliver(frameOf(a), 2);
        return;
      }
      default:
        break;
    }
    line.deliver(frameOf({0x1001, ispId(w[0]), 0}), 2);  // acknowledgement
  }
};

class FlashJobs : public testsupport::CardOnLineTest<MiniVxp> {
 protected:
  std::string file(const std::string& name, const Bytes& content) {
    return dir.write(name, std::string(content.begin(), content.end()));
  }
  static Bytes pattern(std::size_t n, unsigned seed = 7) {
    Bytes b(n);
    for (std::size_t k = 0; k < n; ++k) b[k] = static_cast<uint8_t>((k * 31 + seed) ^ (k >> 8));
    return b;
  }
  static int count(const std::string& s, const std::string& what) {
    int n = 0;
    for (std::size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
    return n;
  }
  testsupport::ScratchDir dir;
};

TEST_F(FlashJobs, DriverLoadSendsWholeBlocksFrom0x800AndCallsTheDriver) {
  struct Case {
    std::size_t size;
    std::size_t blocks;
  };
  // A last partial block goes out padded with 0xFF.
  for (Case c : {Case{0x1000, 128}, Case{0x2000, 384}, Case{0x800, 0}, Case{0x80F, 1},
                 Case{0x1008, 129}}) {
    card.requests.clear();
    card.micros.clear();
    const Bytes image = pattern(c.size);
    const std::string path = file("FDriver.bin", image);
    const uint64_t start = line.now();
    testing::internal::CaptureStdout();
    EXPECT_EQ(loadFile(*link, path.c_str(), 0), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("File Size : " + std::to_string(c.size) +
                            " bytes\nSoft Reset...\nWaiting 5 sec...\nBegin Job...\n",
                        0),
              0u)
        << out;
    EXPECT_NE(out.find("\rJob at 100%\t\t\t\t\nCalling ISP Driver...\n\n\nTime : 0 minutes "),
              std::string::npos)
        << out;
    EXPECT_EQ(card.micros, "PR");
    EXPECT_GE(line.now() - start, 6000u);  // 5 s after the soft reset, 1 s after the call
    const auto writes = card.withHeader(kDriverWriteRequest);
    ASSERT_EQ(writes.size(), c.blocks);
    for (std::size_t b = 0; b < writes.size(); ++b) {
      const uint32_t addr = 0x800 + 16 * static_cast<uint32_t>(b);
      EXPECT_EQ(writes[b][1], (addr >> 4) & 0xF000);
      EXPECT_EQ(writes[b][2], addr & 0xFFFF);
      EXPECT_EQ(writes[b][3], image[addr] | image[addr + 1] << 8);
      const auto byteAt = [&](uint32_t at) { return at < c.size ? image[at] : 0xFF; };
      EXPECT_EQ(writes[b][10], byteAt(addr + 14) | byteAt(addr + 15) << 8);
    }
    EXPECT_EQ(card.requests.back(), (Words{0x3802, 0x0080, 0, 0x3300, 0, 0x947E}));
  }
}

TEST_F(FlashJobs, DriverBlockRefusedEndsTheLoad) {
  card.nack[kDriverWriteRequest] = {3};
  const std::string path = file("SFDriver.bin", pattern(0x1000));
  testing::internal::CaptureStdout();
  EXPECT_EQ(loadFile(*link, path.c_str(), 0), -1);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(card.withHeader(kDriverWriteRequest).size(), 3u);
  EXPECT_TRUE(card.withHeader(kDriverCallRequest).empty());
  EXPECT_NE(out.find("GSPI Timeout\n\nNACK received. Retry ... \n"), std::string::npos);
  EXPECT_NE(out.find("\nTime : 0 minutes"), std::string::npos);
}

TEST_F(FlashJobs, Device5WritesDataThenHeaderAndPadsTheLastBlock) {
  const Bytes image = pattern(0x100 + 70);
  const std::string path = file("Device5.bin", image);
  const uint64_t start = line.now();
  testing::internal::CaptureStdout();
  EXPECT_EQ(loadFile(*link, path.c_str(), 5), 0);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_GE(line.now() - start, 20500u);  // erase wait and the pause after it
  EXPECT_EQ(out.rfind("File Size : 326 bytes\nSetting ISP Mode...\nErasing device...\n"
                      "Begin Job... Data ..\n",
                      0),
            0u)
      << out;
  EXPECT_NE(out.find("\rJob at 100%\t\t\t\t\nSetting ISP Mode...\nBegin Job... Header...\n"),
            std::string::npos);
  EXPECT_NE(out.find("\rJob at 100%\t\t\t\t\nSoft Reset.\n\nTime : 0 minutes 20 seconds\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(card.micros, "AR");

  const auto modes = card.withHeader(kIspModeRequest);
  ASSERT_EQ(modes.size(), 2u);
  EXPECT_EQ(Words(modes[0].begin(), modes[0].begin() + 7),
            (Words{0x5502, 0x0100, 5, 0x0100, 0, 70, 0}));
  EXPECT_EQ(Words(modes[1].begin(), modes[1].begin() + 7),
            (Words{0x5502, 0x0100, 5, 0, 0, 0x100, 0}));
  // Data (3 blocks from 0x100), then 8 header blocks.
  ASSERT_EQ(card.withHeader(kFlashWriteRequest).size(), 11u);
  Bytes expected = image;
  expected.resize(0x100 + 96, 0xFF);  // erased flash value past the file
  EXPECT_EQ(card.flash[5], expected);
}

TEST_F(FlashJobs, Device5BlockReenteredSixTimesAtMost) {
  // The second data block is refused six times, then taken.
  card.nack[kFlashWriteRequest] = {2, 3, 4, 5, 6, 7};
  const Bytes image = pattern(0x200);
  const std::string path = file("Device5.bin", image);
  testing::internal::CaptureStdout();
  EXPECT_EQ(loadFile(*link, path.c_str(), 5), 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(count(out, "Addr - 0x00000120\n"), 6);
  EXPECT_EQ(count(out, "ISP Mode Status Request ...\n0x0632 0x0000 0xf9ce \n0x0001 0x0005 0xfffa \n"),
            6);
  EXPECT_EQ(card.flash[5], image);
  // Each re-entry asks for the rest of the image from the refused block.
  const auto modes = card.withHeader(kIspModeRequest);
  EXPECT_EQ(Words(modes[1].begin(), modes[1].begin() + 7),
            (Words{0x5502, 0x0100, 5, 0x0120, 0, 0x200 - 0x120, 0}));

  // Seven refusals of one block end the job.
  card = MiniVxp();
  line.setPeer(&card);
  card.nack[kFlashWriteRequest] = {2, 3, 4, 5, 6, 7, 8};
  testing::internal::CaptureStdout();
  EXPECT_EQ(loadFile(*link, path.c_str(), 5), -1);
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(count(out, "Addr - 0x00000120\n"), 6);
  EXPECT_EQ(count(out, "ISP Mode Status Request ...\n"), 7);
  EXPECT_NE(out.find("Block 0x00000120 failed 7 times. Exit.\n"), std::string::npos) << out;
  EXPECT_EQ(card.withHeader(kFlashWriteRequest).size(), 8u);
  EXPECT_TRUE(card.micros.empty());
  EXPECT_NE(out.find("\nTime : 0 minutes"), std::string::npos);

  // In the header phase each block has its own count and no dumps.
  card = MiniVxp();
  line.setPeer(&card);
  card.nack[kFlashWriteRequest] = {9, 10, 11, 12, 13, 14};  // header block 0 (after 8 data)
  testing::internal::CaptureStdout();
  EXPECT_EQ(loadFile(*link, path.c_str(), 5), 0);
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(count(out, "ISP Mode Status Request ...\nSetting ISP Mode...\n"), 6);
  EXPECT_EQ(card.flash[5], image);
}

TEST_F(FlashJobs, Device1ReentriesAreBoundedAndProgressIsRateLimited) {
  // The first block refused seven times ends the job, naming the block.
  card.nack[kFlashWriteRequest] = {1, 2, 3, 4, 5, 6, 7};
  const Bytes image = pattern(0x400);
  const std::string path = file("Device1.bin", image);
  testing::internal::CaptureStdout();
  EXPECT_EQ(loadFile(*link, path.c_str(), 1), -1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(count(out, "Setting ISP Mode...\n"), 7);
  EXPECT_NE(out.find("Block 0x00000000 failed 7 times. Exit.\n"), std::string::npos) << out;
  EXPECT_TRUE(card.micros.empty());

  // Six refusals are survived.
  card = MiniVxp();
  line.setPeer(&card);
  card.nack[kFlashWriteRequest] = {1, 2, 3, 4, 5, 6};
  testing::internal::CaptureStdout();
  EXPECT_EQ(loadFile(*link, path.c_str(), 1), 0);
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(count(out, "Setting ISP Mode...\n"), 7);
  EXPECT_EQ(card.flash[1], image);
  EXPECT_EQ(card.micros, "AR");
  // 0x400 / 5000 is 0: a line after every block but the first.
  EXPECT_EQ(count(out, "\rJob at "), 31 + 1);
  EXPECT_NE(out.find("\rJob at 3.12 %\rJob at 6.25 %"), std::string::npos);
  const auto modes = card.withHeader(kIspModeRequest);
  EXPECT_EQ(Words(modes[0].begin(), modes[0].begin() + 7),
            (Words{0x5502, 0x0100, 1, 0, 0, 0x400, 0}));

  // A bigger image: span / 5000 = 13 thins the lines out.
  card = MiniVxp();
  line.setPeer(&card);
  const std::string big = file("Device1.bin", pattern(0x10000));
  testing::internal::CaptureStdout();
  EXPECT_EQ(loadFile(*link, big.c_str(), 1), 0);
  const int lines = count(testing::internal::GetCapturedStdout(), "\rJob at ");
  // Printed when 13 * time < addr, addr in steps of 32.
  int expectedLines = 0;
  for (uint32_t addr = 0, t = 0; addr < 0x10000; addr += 32)
    if (13 * t < addr) ++t, ++expectedLines;
  EXPECT_EQ(lines, expectedLines + 1);
}

TEST_F(FlashJobs, RefusalsBeforeAnyRequest) {
  // Wrong device in ISP mode: nothing is written.
  card.reportedDevice = 1;
  const std::string d7 = file("Device7.bin", pattern(0x300));
  testing::internal::CaptureStdout();
  EXPECT_EQ(loadFile(*link, d7.c_str(), 7), -1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "File Size : 768 bytes\nSetting ISP Mode...\nErasing device...\nDevice not setted !\n");
  EXPECT_TRUE(card.withHeader(kFlashWriteRequest).empty());
  card.reportedDevice = -1;

  // Files that cannot go whole: nothing goes out at all.
  // VERIFY refuses what it could not compare whole; a short image is
  // compared as far as it goes.
  struct Case {
    const char* name;
    std::size_t size;
    int device;
    std::string message;
    bool verifyRefuses;
  };
  const Case cases[] = {
      {"Device5.bin", 100, 5, "Image too short : ", false},
      {"FDriver.bin", 0x2001, 0, "Driver too long : ", false},
      {"Device1.bin", 0x100001, 1, "Image too long : ", true},  // device 1 holds 1 MiB
      {"Device7.bin", 0x200001, 7, "Image too long : ", true},
      {"Device5.bin", 0, 5, "Empty file : ", true},
      {"SFDriver.bin", 0, 0, "Empty file : ", false},
  };
  for (const Case& c : cases) {
    line.written.clear();
    const std::string path = file(c.name, pattern(c.size));
    testing::internal::CaptureStdout();
    const int loaded = loadFile(*link, path.c_str(), c.device);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(loaded, -1) << c.name;
    EXPECT_NE(out.find(c.message + path), std::string::npos) << out;
    EXPECT_TRUE(line.written.empty()) << c.name;
    if (c.device != 0) {  // VERIFY refuses only the overlong image
      line.keys = {' '};
      testing::internal::CaptureStdout();
      const int result = verify(*link, path.c_str(), c.device, nullptr);
      out = testing::internal::GetCapturedStdout();
      EXPECT_EQ(result, c.verifyRefuses ? -1 : 0) << out;
      EXPECT_EQ(line.written.empty(), c.verifyRefuses) << c.name;
    }
  }

  // Exactly what the device holds goes: 1 MiB for device 1.
  card = MiniVxp();
  line.setPeer(&card);
  const std::string full = file("Device1.bin", pattern(0x100000));
  card.nack[kIspModeRequest] = {1};  // stop after the first request
  testing::internal::CaptureStdout();
  const int loaded = loadFile(*link, full.c_str(), 1);
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(loaded, -1) << out;
  const auto modes = card.withHeader(kIspModeRequest);
  ASSERT_EQ(modes.size(), 1u);
  EXPECT_EQ(modes[0][6], 0x10);

  testing::internal::CaptureStdout();
  EXPECT_EQ(loadFile(*link, dir.file("missing.bin").c_str(), 0), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Unable to open file : " + dir.file("missing.bin") + "\n");
}

// A card that stops reading half-way: the refused block's status request
// cannot go out either, and the job ends within seconds instead of waiting
// on the line.
TEST_F(FlashJobs, CardThatStopsReadingEndsTheJob) {
  card.flash[1] = pattern(0x200);
  const std::string path = file("Device1.bin", pattern(0x200));
  struct Case {
    const char* name;
    std::function<int()> run;
  };
  const Case cases[] = {
      {"loader", [&] { return loadFile(*link, path.c_str(), 1); }},
      {"verify", [&] { return verify(*link, path.c_str(), 1, nullptr); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    line.stallWrites = false;
    int blocks = 0;
    uint64_t stalledAt = 0;
    card.override_ = [&](const Words& w, FakeLine& l) {
      if ((w[0] == kFlashWriteRequest || w[0] == kFlashReadRequest) && ++blocks == 3) {
        l.stallWrites = true;  // the third block is answered, the fourth never goes out
        stalledAt = l.now();
      }
      return false;
    };
    line.keys = {' '};
    testing::internal::CaptureStdout();
    EXPECT_EQ(c.run(), -1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Unable to send cmd.\n"), std::string::npos) << out;
    EXPECT_GT(stalledAt, 0u);
    EXPECT_LT(line.now() - stalledAt, 8000u);  // two writes that stall for 3 s and more
  }
}

// ------------------------------------------------------------------ verify

TEST_F(FlashJobs, VerifyCountsDifferingWords) {
  Bytes flash = pattern(0x150);
  card.flash[5] = flash;
  Bytes image = flash;
  image[0x10] ^= 1;
  image[0x11] ^= 1;  // same word: one mismatch
  image[0x141] ^= 0x80;
  const std::string path = file("Device5.bin", image);
  unsigned long total = 99;
  testing::internal::CaptureStdout();
  EXPECT_EQ(verify(*link, path.c_str(), 5, &total), 0);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(total, 2u);
  EXPECT_EQ(out.rfind("File Size : 336 bytes\nSetting ISP Mode...\n", 0), 0u) << out;
  EXPECT_NE(out.find("\rJob at 9.52 % --- Mismatch Total 1"), std::string::npos) << out;
  EXPECT_NE(out.find("\rJob at 100% ----- Mismatch Total 2 \t\t\t\t\n\nTotal Time : 0 minutes 0 seconds\n"),
            std::string::npos)
      << out;
  const auto modes = card.withHeader(kIspModeRequest);
  EXPECT_EQ(Words(modes[0].begin(), modes[0].begin() + 7),
            (Words{0x5502, 0x0200, 5, 0, 0, 0x150, 0}));
  EXPECT_EQ(card.withHeader(kFlashReadRequest).size(), 11u);  // 0x150 / 32 rounded up

  // Equal: total 0.  The words past the end of the file are not compared.
  const std::string same = file("Device5.bin", Bytes(flash.begin(), flash.begin() + 0x13E));
  card.seen.clear();
  testing::internal::CaptureStdout();
  EXPECT_EQ(verify(*link, same.c_str(), 5, &total), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(total, 0u);
}

// Only whole, well-formed read answers are compared; anything else reads
// the block again, a bounded number of times.
TEST_F(FlashJobs, VerifyComparesOnlyWellFormedAnswers) {
  const Bytes flash = pattern(0x100);
  card.flash[1] = flash;
  Bytes image = flash;
  image[0x60 + 0x18] ^= 1;  // in the half of block 3 that a short answer leaves out
  const std::string path = file("Device1.bin", image);
  const auto readAnswer = [&](uint32_t at, int words) {
    Words a = {static_cast<uint16_t>((words - 1) << 12 | kReadAnswerId)};
    for (int k = 0; k < words; ++k)
      a.push_back(static_cast<uint16_t>(flash[at + 2 * k] | flash[at + 2 * k + 1] << 8));
    return a;
  };
  int reads = 0;
  card.override_ = [&](const Words& w, FakeLine& l) {
    if (w[0] != kFlashReadRequest) return false;
    Bytes f;
    switch (++reads) {
      case 2: f = MiniVxp::frameOf({0x0001, 0x0639}); break;           // another id
      case 4: f = MiniVxp::frameOf({0x1002, 0x0639, 0}); break;        // refused
      case 6: f = MiniVxp::frameOf(readAnswer(card.address, 8)); break;  // 8 of 16 words
      case 8:                                                          // bad checksum
        f = MiniVxp::frameOf(readAnswer(card.address, 16));
        f[f.size() - 2] ^= 1;
        break;
      default: return false;
    }
    if (reads > 2) card.address += 32;  // a read answer moved the pointer on, spoiled or not
    l.deliver(f, 2);
    return true;
  };
  unsigned long total = 99;
  testing::internal::CaptureStdout();
  EXPECT_EQ(verify(*link, path.c_str(), 1, &total), 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(total, 1u) << out;
  EXPECT_NE(out.find("\nBad Response - 0001 "), std::string::npos) << out;
  EXPECT_NE(out.find("ISP Mode Status Request ...\nSetting ISP Mode...\n"), std::string::npos);
  EXPECT_EQ(count(out, "\nBad read answer for block 0x"), 2) << out;
  // Re-entries at the refused (0x40), the short (0x60) and the damaged (0x80) block.
  const auto modes = card.withHeader(kIspModeRequest);
  ASSERT_EQ(modes.size(), 4u);
  EXPECT_EQ(modes[1][3], 0x40);
  EXPECT_EQ(modes[1][5], 0xC0);
  EXPECT_EQ(modes[2][3], 0x60);
  EXPECT_EQ(modes[3][3], 0x80);
  EXPECT_EQ(card.withHeader(kFlashReadRequest).size(), 8u + 4u);

  // An answer that is never right ends the run, naming the block.
  for (const Words& answer : {Words{0x0001, 0x0639}, readAnswer(0, 8)}) {
    card = MiniVxp();
    line.setPeer(&card);
    card.override_ = [&](const Words& w, FakeLine& l) {
      if (w[0] != kFlashReadRequest) return false;
      l.deliver(MiniVxp::frameOf(answer), 2);
      return true;
    };
    line.keys = {' '};
    testing::internal::CaptureStdout();
    EXPECT_EQ(verify(*link, path.c_str(), 1, &total), -1);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Block 0x00000000 failed 7 times. Exit.\nPress a key to continue ... "),
              std::string::npos)
        << out;
    EXPECT_EQ(card.withHeader(kFlashReadRequest).size(), 7u);
  }
}

TEST_F(FlashJobs, VerifyRefusals) {
  line.keys = {' ', ' '};
  const std::string path = file("Device6.bin", pattern(64));
  unsigned long total = 0;
  testing::internal::CaptureStdout();
  EXPECT_EQ(verify(*link, path.c_str(), 6, &total), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "File Size : 64 bytes\nInvalid device ID 6\nPress a key to continue ... ");
  EXPECT_EQ(line.keysRead, 1);

  card.reportedDevice = 7;
  testing::internal::CaptureStdout();
  EXPECT_EQ(verify(*link, path.c_str(), 5, &total), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "File Size : 64 bytes\nSetting ISP Mode...\nDevice not setted !\n");
  EXPECT_EQ(line.keysRead, 1);  // no prompt
}

// ------------------------------------------------------------------ status

TEST_F(FlashJobs, StatusReportLayoutAndRefresh) {
  card.override_ = [](const Words& w, FakeLine& l) {
    switch (w[0]) {
      case kDeviceNameRequest:
        l.deliver(MiniVxp::frameOf({0x5001, 'V' << 8 | 'X', 'P' << 8 | '-', 'T' << 8 | 'E',
                                    'S' << 8 | 'T', '1' << 8 | '2', 0}),
                  2);
        return true;
      case kStatusRequest: {
        Words a(15, 0);
        a[0] = 0xD001;
        a[1] = 0x0702;  // OSD code 7 (unknown), configuration complete
        a[2] = 0x2310;
        a[14] = 0xA5C3;  // memory bits 0x25, flash bits 0xC3; bit 15 ignored
        l.deliver(MiniVxp::frameOf(a), 2);
        return true;
      }
      case kCalibrationReadRequest:
        l.deliver(MiniVxp::frameOf({0x2001, 0, 0, static_cast<uint16_t>(w[1] == 0x005E ? 0xFF05
                                                                                    : 0xFD21)}),
                  2);
        return true;
      default:
        return false;
    }
  };
  line.keys = {'\r', 'Q'};
  testing::internal::CaptureStdout();
  EXPECT_EQ(vxpStatus(*link), Outcome::Success);
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string report =
      "\n/********** VXP STATUS ***********/ \n"
      "\nDevice Name         -> VXP-TEST12" +
      std::string(2, '\0') +  // the name's NUL characters are printed too
      "\nDevice Type         -> GF2310"
      "\nOSD Load Status     -> Error Unknown"
      "\nConfig Status       -> Configuration complete"
      "\nMemory Devices      ->\n\r"
      "    Video Memory:  \n"
      "           SDRAM 1 Detected           SDRAM 4 Not Detected \n"
      "           SDRAM 2 Not Detected           SDRAM 5 Not Detected\n"
      "           SDRAM 3 Detected\n"
      "    OSD Memory:  \n"
      "           SDRAM 1 Detected           SDRAM 2 Not Detected\n"
      "    Flash Memory:  \n"
      "           CS0 Detected           CS4 Not Detected\n"
      "           CS1 Detected           CS5 Not Detected\n"
      "           CS2 Not Detected               CS6 Detected\n"
      "           CS3 Not Detected               CS7 Detected \n"
      "SDRAM Calibration   ->\n\r"
      "    OSD : \n"
      "           Byte 0 : Passed            Byte 2 : Passed\n"
      "           Byte 1 : Not Passed            Byte 3 : Not Passed\n"
      "    Video: \n"
      "           Byte 0 : Passed            Byte 5 : Passed\n"
      "           Byte 1 : Not Passed            Byte 6 : Not Passed\n"
      "           Byte 2 : Not Passed            Byte 7 : Not Passed\n"
      "           Byte 3 : Not Passed            Byte 8 : Passed\n"
      "           Byte 4 : Not Passed            Byte 9 : Not Passed\n"
      "\n/******** END OF VXP STATUS ********/ "
      "\nPress Enter to refresh or 'Q' to quit ";
  EXPECT_EQ(out, report + report);
  EXPECT_EQ(card.requests.size(), 8u);
  EXPECT_EQ(card.requests[2], (Words{0x161A, 0x005E, 0x0B06, static_cast<uint16_t>(0u - 0x161Au - 0x5Eu - 0xB06u)}));
}

TEST_F(FlashJobs, StatusOfASilentProcessorPrintsZerosAndFails) {
  card.override_ = [](const Words&, FakeLine&) { return true; };  // never answers
  testing::internal::CaptureStdout();
  EXPECT_EQ(vxpStatus(*link), Outcome::Failure);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("\nPress Enter to refresh or 'Q' to quit \nThe video processor did not "
                     "answer every request: the report is incomplete.\n"),
            std::string::npos);
  EXPECT_NE(out.find(std::string("\nDevice Name         -> ") + std::string(12, '\0') +
                     "\nDevice Type         -> GF0\nOSD Load Status     -> OSD Load Table OK"
                     "\nConfig Status       -> Insystem program mode"),
            std::string::npos);
  EXPECT_EQ(count(out, "Unable to send command. Exit.SendISP\n"), 4);
  EXPECT_EQ(count(out, "Not Detected"), 15);
  EXPECT_EQ(count(out, "Not Passed"), 14);

  // A port that fails the requests: the same report, but the mode failed.
  line.failWrites = 4;
  testing::internal::CaptureStdout();
  EXPECT_EQ(vxpStatus(*link), Outcome::Failure);
  EXPECT_EQ(count(testing::internal::GetCapturedStdout(), "Not Passed"), 14);
  EXPECT_EQ(line.failWrites, 0);
}

}  // namespace
