// The simulated card's video processor, driven frame by frame through a
// test Wire: the ISP service's model (driver, ISP mode, flash), its answers
// and the faults it can inject.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "card.h"
#include "components/isp_frame.h"
#include "components/vxp.h"

using namespace cardsim;

namespace {

class TestWire : public Wire {
 public:
  struct Sent {
    Ms at;
    std::vector<uint8_t> bytes;
  };
  Ms t = 0;
  std::vector<Sent> sent;
  std::vector<std::string> notes;

  int replugs = 0;
  std::vector<Ms> stops;

  Ms now() const override { return t; }
  void send(const uint8_t* d, std::size_t n, Ms delay) override { sent.push_back({t + delay, {d, d + n}}); }
  void note(const std::string& text) override { notes.push_back(text); }
  void replug() override { ++replugs; }
  void stopReading(Ms ms) override { stops.push_back(ms); }

  // Everything sent since the last call, and when its last chunk is due.
  std::vector<uint8_t> take(Ms* due = nullptr) {
    std::vector<uint8_t> all;
    Ms last = 0;
    for (auto& s : sent) {
      all.insert(all.end(), s.bytes.begin(), s.bytes.end());
      last = std::max(last, s.at);
    }
    sent.clear();
    if (due) *due = last;
    return all;
  }
  bool noted(const std::string& part) const {
    for (auto& n : notes)
      if (n.find(part) != std::string::npos) return true;
    return false;
  }
};

// The updater's frame hunt: the first complete "=G"...CR frame, with a
// restart at every "=G" inside; its decoded words.
std::optional<std::vector<uint16_t>> hunt(const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> body;
  int state = 0;
  for (uint8_t b : bytes) {
    if (state == 0) {
      if (b == '=') state = 1;
    } else if (state == 1) {
      if (b == 'G') {
        state = 2;
        body.clear();
      } else if (b != '=') {
        state = 0;
      }
    } else if (b == '\r') {
      std::vector<uint8_t> decoded;
      if (!isp::decode(body, &decoded)) return std::nullopt;
      return isp::toWords(decoded);
    } else if (b == 'G' && !body.empty() && body.back() == '=') {
      body.clear();
    } else {
      body.push_back(b);
    }
  }
  return std::nullopt;
}

std::string tempDir() {
  char pattern[] = "/tmp/vxp-card-XXXXXX";
  const char* dir = mkdtemp(pattern);
  return dir ? dir : "";
}

std::vector<uint8_t> readFile(const std::string& path) {
  std::vector<uint8_t> bytes;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return bytes;
  int c;
  while ((c = std::fgetc(f)) != EOF) bytes.push_back(static_cast<uint8_t>(c));
  std::fclose(f);
  return bytes;
}

std::vector<uint8_t> pattern(std::size_t n, unsigned seed) {
  std::vector<uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 7 + seed + (i >> 8)) & 0xFF);
  return v;
}

std::vector<uint8_t> driverImage(const char* tag) {
  std::vector<uint8_t> img(0x1000, 0);
  for (std::size_t i = 0; tag[i]; ++i) img[0x800 + i] = static_cast<uint8_t>(tag[i]);
  for (std::size_t i = 0x810; i < img.size(); ++i) img[i] = static_cast<uint8_t>(i);
  return img;
}

using Args = std::vector<std::pair<std::string, std::string>>;

// One simulated card's VXP with its options and state.
struct Rig {
  explicit Rig(Args opts = {}, const std::string& dir = "")
      : state(dir) {
    for (auto& o : opts) options.set(o.first, o.second);
    context = std::make_unique<CardContext>(options, state);
    vxp = std::make_unique<Vxp>(*context);
  }

  std::vector<uint8_t> raw(const std::vector<uint16_t>& words, Ms* due = nullptr) {
    std::vector<uint8_t> f = isp::frame(isp::sealed(words));
    vxp->onFrame(std::vector<uint8_t>(f.begin() + 2, f.end() - 1), w);
    return w.take(due);
  }
  // Sends a request (checksum added) and returns the answer's words.
  std::vector<uint16_t> request(const std::vector<uint16_t>& words, Ms* due = nullptr) {
    auto answer = hunt(raw(words, due));
    EXPECT_TRUE(answer.has_value()) << "no answer to " << std::hex << words[0];
    return answer.value_or(std::vector<uint16_t>{});
  }
  std::string micro(char letter) {
    vxp->onMicroCommand(letter, w);
    auto b = w.take();
    return std::string(b.begin(), b.end());
  }

  bool accepted(const std::vector<uint16_t>& answer, uint16_t requestHeader) {
    return answer.size() >= 3 && answer.size() == isp::wordsOf(answer[0]) && isp::idOf(answer[0]) != 0x002 && answer[0] != requestHeader &&
           isp::checksumOk(answer);
  }

  void loadDriver(const char* tag) {
    EXPECT_EQ(micro('P'), "=M*");
    EXPECT_EQ(micro('R'), "=M*");
    auto img = driverImage(tag);
    for (uint32_t addr = 0x800; addr + 16 <= img.size(); addr += 16) {
      std::vector<uint16_t> m{0x950D, static_cast<uint16_t>((addr >> 4) & 0xF000), static_cast<uint16_t>(addr)};
      for (int i = 0; i < 8; ++i) m.push_back(static_cast<uint16_t>(img[addr + 2 * i] | img[addr + 2 * i + 1] << 8));
      ASSERT_TRUE(accepted(request(m), 0x950D));
    }
    ASSERT_TRUE(accepted(request({0x3802, 0x0080, 0, 0x3300, 0}), 0x3802));
  }

  std::vector<uint16_t> mode(uint16_t op, int device, uint32_t start, uint32_t count, Ms* due = nullptr) {
    return request({0x5502, op, static_cast<uint16_t>(device), static_cast<uint16_t>(start),
                    static_cast<uint16_t>(start >> 16), static_cast<uint16_t>(count),
                    static_cast<uint16_t>(count >> 16)},
                   due);
  }
  std::vector<uint16_t> write(const std::vector<uint8_t>& img, uint32_t addr) {
    std::vector<uint16_t> m{0xF501};
    for (uint32_t i = 0; i < 32; i += 2) {
      uint8_t lo = addr + i < img.size() ? img[addr + i] : 0xFF;
      uint8_t hi = addr + i + 1 < img.size() ? img[addr + i + 1] : 0xFF;
      m.push_back(static_cast<uint16_t>(lo | hi << 8));
    }
    return request(m);
  }
  // Reads `n` bytes back from the current address.
  std::vector<uint8_t> readBack(std::size_t n) {
    std::vector<uint8_t> out;
    while (out.size() < n) {
      auto a = request({0x0639, 0});
      EXPECT_EQ(a.size(), 18u);
      EXPECT_EQ(a[0], 0xF73A);
      if (a.size() != 18) break;
      for (int i = 1; i <= 16; ++i) {
        out.push_back(static_cast<uint8_t>(a[i] & 0xFF));
        out.push_back(static_cast<uint8_t>(a[i] >> 8));
      }
    }
    out.resize(n);
    return out;
  }
  // Writes a device 5/7 image as the updater does: data from 0x100, then the header.
  void programParallel(int device, const std::vector<uint8_t>& img) {
    ASSERT_TRUE(accepted(mode(0x0100, device, 0x100, static_cast<uint32_t>(img.size() - 0x100)), 0x5502));
    for (uint32_t a = 0x100; a < img.size(); a += 32) ASSERT_TRUE(accepted(write(img, a), 0xF501));
    ASSERT_TRUE(accepted(mode(0x0100, device, 0, 0x100), 0x5502));
    for (uint32_t a = 0; a < 0x100; a += 32) ASSERT_TRUE(accepted(write(img, a), 0xF501));
  }

  Options options;
  StateDir state;
  std::unique_ptr<CardContext> context;
  std::unique_ptr<Vxp> vxp;
  TestWire w;
};

bool isNack(const std::vector<uint16_t>& a, uint16_t refusedId, uint16_t why) {
  return a.size() == 4 && isp::wordsOf(a[0]) == 4 && isp::idOf(a[0]) == 0x002 && (a[1] & 0x0FFF) == refusedId && a[2] == why &&
         isp::checksumOk(a);
}

}  // namespace

TEST(VxpFrame, EncodesTheWorkedExamplesAndRoundTripsEveryByte) {
  std::vector<uint8_t> f = isp::frame(isp::sealed({0x0632, 0x0000}));
  EXPECT_EQ(f, (std::vector<uint8_t>{0x3D, 0x47, 0x5C, 0x30, 0x2A, 0x2A, 0xF8, 0x23, 0x0D}));
  EXPECT_EQ(isp::sealed({0x3802, 0x0080, 0, 0x3300, 0}).back(), 0x947E);
  EXPECT_EQ(isp::encode({0x13, 0xD6, 0xDF, 0xE0, 0xE3}),
            (std::vector<uint8_t>{0x3D, 0x7D, 0x3D, 0x40, 0x3D, 0x49, 0x3D, 0x4A, 0x3D, 0x4D}));
  std::vector<uint8_t> all(256), back;
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  ASSERT_TRUE(isp::decode(isp::encode(all), &back));
  EXPECT_EQ(back, all);
  EXPECT_FALSE(isp::decode({0x2A, '='}, &back));  // an escape without its partner
}

TEST(VxpCard, LoadsADriverProgramsDevice5AndReadsItBackWithoutTheDriver) {
  std::string dir = tempDir();
  Rig rig(Args{}, dir);
  rig.loadDriver("FDRIVER");
  EXPECT_TRUE(rig.w.noted("ISP driver write 0x0800"));
  EXPECT_TRUE(rig.w.noted("FDRIVER runs"));

  std::vector<uint8_t> img = pattern(0x1000, 5);
  Ms due = 0;
  auto erased = rig.mode(0x0100, 5, 0x100, 0x1000 - 0x100, &due);
  EXPECT_EQ(erased, isp::sealed({0x0001, 0x0502}));
  EXPECT_GE(due, 1u);      // an erase takes its time ...
  EXPECT_LT(due, 3000u);   // ... but well within a read's deadline
  EXPECT_TRUE(rig.w.noted("ISP mode program device 5 from 0x100, 3840 bytes"));

  auto st = rig.request({0x0632, 0});
  ASSERT_EQ(st.size(), 5u);
  EXPECT_EQ(st[0], 0x2632);
  EXPECT_EQ(st[1] & 0xFF, 5);
  EXPECT_EQ(st[2], 0x100);

  for (uint32_t a = 0x100; a < img.size(); a += 32) ASSERT_TRUE(rig.accepted(rig.write(img, a), 0xF501));
  ASSERT_TRUE(rig.accepted(rig.mode(0x0100, 5, 0, 0x100), 0x5502));
  for (uint32_t a = 0; a < 0x100; a += 32) ASSERT_TRUE(rig.accepted(rig.write(img, a), 0xF501));
  // A block past the range is refused.
  EXPECT_TRUE(isNack(rig.write(img, 0x100), 0x501, 0x0007));
  EXPECT_EQ(rig.micro('A'), "=M*");
  EXPECT_EQ(rig.micro('R'), "=M*");
  EXPECT_EQ(rig.micro('E'), "=M*");

  // The file is the image; the order of operations is in the log.
  EXPECT_EQ(readFile(dir + "/flash5.bin"), img);
  std::vector<std::string> order;
  for (auto& n : rig.w.notes)
    if (n.rfind("ISP flash write", 0) == 0) order.push_back(n);
  ASSERT_EQ(order.size(), img.size() / 32);
  EXPECT_EQ(order.front(), "ISP flash write 0x00000100");
  EXPECT_EQ(order[img.size() / 32 - 8], "ISP flash write 0x00000000");

  // After the closing reset no driver runs: the ROM service still reads.
  ASSERT_TRUE(rig.accepted(rig.mode(0x0200, 5, 0, 0x1000), 0x5502));
  EXPECT_EQ(rig.readBack(img.size()), img);
  EXPECT_TRUE(isNack(rig.request({0x0639, 0}), 0x639, 0x0007));  // past the range
}

TEST(VxpCard, SerialFlashNeedsSFDriverAndWritesInOnePass) {
  Rig rig;
  rig.loadDriver("SFDRIVER");
  EXPECT_TRUE(isNack(rig.mode(0x0100, 5, 0x100, 0x100), 0x502, 0x0004));  // not this driver's device
  EXPECT_TRUE(isNack(rig.write(pattern(32, 0), 0), 0x501, 0x0006));       // no ISP mode left
  std::vector<uint8_t> img = pattern(1000, 9);                            // a partial last block
  ASSERT_TRUE(rig.accepted(rig.mode(0x0100, 1, 0, 1000), 0x5502));
  for (uint32_t a = 0; a < img.size(); a += 32) ASSERT_TRUE(rig.accepted(rig.write(img, a), 0xF501));
  ASSERT_TRUE(rig.accepted(rig.mode(0x0200, 1, 0, 1024), 0x5502));
  std::vector<uint8_t> back = rig.readBack(1024);
  EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.begin() + 1000), img);
  EXPECT_EQ(back[1000], 0xFF);
  // The image does not fit a 1 MiB device.
  EXPECT_TRUE(isNack(rig.mode(0x0100, 1, 0, 0x100001), 0x502, 0x0007));
}

TEST(VxpCard, RefusesWhatTheServiceCannotDo) {
  Rig rig;
  // No driver: nothing to program, a driver call finds no driver.
  EXPECT_TRUE(isNack(rig.mode(0x0100, 5, 0x100, 0x100), 0x502, 0x0004));
  EXPECT_TRUE(isNack(rig.request({0x0639, 0}), 0x639, 0x0006));
  EXPECT_TRUE(isNack(rig.request({0x3802, 0x0080, 0, 0x3300, 0}), 0x802, 0x0004));
  // A driver loaded, then the VXP restarted: its memory is gone.
  rig.loadDriver("FDRIVER");
  EXPECT_EQ(rig.micro('P'), "=M*");
  EXPECT_TRUE(rig.raw({0x0632, 0}).empty());  // held in reset: no answer
  EXPECT_EQ(rig.micro('R'), "=M*");
  EXPECT_TRUE(isNack(rig.request({0x3802, 0x0080, 0, 0x3300, 0}), 0x802, 0x0004));
  // Malformed frames, unknown requests, device numbers, letters.
  std::vector<uint8_t> f = isp::frame({0x0632, 0x0000, 0x1234});  // wrong checksum
  rig.vxp->onFrame(std::vector<uint8_t>(f.begin() + 2, f.end() - 1), rig.w);
  EXPECT_TRUE(isNack(*hunt(rig.w.take()), 0x632, 0x0002));
  EXPECT_TRUE(isNack(rig.request({0x1632, 0}), 0x632, 0x0001));  // count says 4 words, 3 came
  EXPECT_TRUE(isNack(rig.request({0x0777, 0}), 0x777, 0x0003));
  EXPECT_TRUE(isNack(rig.mode(0x0200, 8, 0, 32), 0x502, 0x0005));
  EXPECT_TRUE(isNack(rig.mode(0x0300, 5, 0, 32), 0x502, 0x0005));
  EXPECT_EQ(rig.micro('Q'), "=M~");

  // Reading back: a driver that does not know the device refuses, and with
  // --vxp-read-needs-driver the ROM service does not read at all.
  rig.loadDriver("SFDRIVER");
  EXPECT_TRUE(isNack(rig.mode(0x0200, 5, 0, 32), 0x502, 0x0004));
  Rig strict(Args{{"vxp-read-needs-driver", "1"}});
  EXPECT_TRUE(isNack(strict.mode(0x0200, 5, 0, 32), 0x502, 0x0004));
  strict.loadDriver("FDRIVER");
  EXPECT_TRUE(strict.accepted(strict.mode(0x0200, 5, 0, 32), 0x5502));
}

TEST(VxpCard, ProgrammingOnlyClearsBits) {
  Rig rig;
  rig.loadDriver("FDRIVER");
  std::vector<uint8_t> a(64, 0xF0), b(32, 0x3C);
  ASSERT_TRUE(rig.accepted(rig.mode(0x0100, 7, 0, 64), 0x5502));
  ASSERT_TRUE(rig.accepted(rig.write(a, 0), 0xF501));
  ASSERT_TRUE(rig.accepted(rig.write(a, 32), 0xF501));
  // Only the first 16 bytes are erased again; the block's other half is
  // programmed over old data and keeps its cleared bits.
  ASSERT_TRUE(rig.accepted(rig.mode(0x0100, 7, 0, 16), 0x5502));
  ASSERT_TRUE(rig.accepted(rig.write(b, 0), 0xF501));
  ASSERT_TRUE(rig.accepted(rig.mode(0x0200, 7, 0, 64), 0x5502));
  std::vector<uint8_t> expected(16, 0x3C);
  expected.resize(32, 0x30);
  expected.resize(64, 0xF0);
  EXPECT_EQ(rig.readBack(64), expected);
}

TEST(VxpCard, StatusAnswersCarryTheConfiguredFields) {
  Rig rig(Args{{"status-name", "ABCDEFGHIJKLMN"}, {"status-type", "0x1234"}, {"status-osd", "7"},
           {"status-memory", "0x7FFF"}, {"status-osd-calibration", "5"}, {"status-video-calibration", "0xFC01"}});
  auto name = rig.request({0x0633, 0});
  ASSERT_EQ(name.size(), 8u);
  EXPECT_EQ(name[0], 0x5633);
  EXPECT_EQ(name[1], 'A' << 8 | 'B');
  EXPECT_EQ(name[6], 'K' << 8 | 'L');  // cut at 12 characters
  auto st = rig.request({0x062F, 0});
  ASSERT_EQ(st.size(), 16u);
  EXPECT_EQ(st[0], 0xD62F);
  EXPECT_EQ(st[1], 0x0702);  // OSD code 7; configuration complete (no driver)
  EXPECT_EQ(st[2], 0x1234);
  EXPECT_EQ(st[14], 0x7FFF);
  auto osd = rig.request({0x161A, 0x005E, 0x0B06});
  ASSERT_EQ(osd.size(), 5u);
  EXPECT_EQ(osd[0], 0x261A);
  EXPECT_EQ(osd[3], 5);
  EXPECT_EQ(rig.request({0x161A, 0x007C, 0x0005})[3], 0xFC01);

  Rig plain;
  plain.loadDriver("FDRIVER");
  EXPECT_EQ(plain.request({0x062F, 0})[1], 0x0000);  // in-system program mode while a driver runs
  auto defaultName = plain.request({0x0633, 0});
  EXPECT_EQ(defaultName[6], ' ' << 8 | ' ');
}

TEST(VxpCard, ARefusedBlockIsTakenAgainAfterTheRecovery) {
  Rig rig(Args{{"vxp-fault", "nack@flash-write:2x3"}});
  rig.loadDriver("FDRIVER");
  std::vector<uint8_t> img = pattern(0x200, 3);
  ASSERT_TRUE(rig.accepted(rig.mode(0x0100, 5, 0x100, 0x100), 0x5502));
  ASSERT_TRUE(rig.accepted(rig.write(img, 0x100), 0xF501));
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(isNack(rig.write(img, 0x120), 0x501, 0x1234));
    auto st = rig.request({0x0632, 0});
    EXPECT_EQ(st[1] & 0xFF, 5);
    EXPECT_EQ(st[2], 0x120);  // the refused block was not taken
    ASSERT_TRUE(rig.accepted(rig.mode(0x0100, 5, 0x120, 0x200 - 0x120), 0x5502));
  }
  for (uint32_t a = 0x120; a < 0x200; a += 32) ASSERT_TRUE(rig.accepted(rig.write(img, a), 0xF501));
  ASSERT_TRUE(rig.accepted(rig.mode(0x0200, 5, 0x100, 0x100), 0x5502));
  auto back = rig.readBack(0x100);
  EXPECT_EQ(back, std::vector<uint8_t>(img.begin() + 0x100, img.end()));
  EXPECT_TRUE(rig.w.noted("fault nack@flash-write:2x3 on vxp-fault exchange"));
}

TEST(VxpCard, FaultsRefuseOrSpoilTheAnswer) {
  Rig rig(Args{{"vxp-fault", "echo@2"},
           {"vxp-fault", "silence@3"},
           {"vxp-fault", "badsum@4"},
           {"vxp-fault", "wronglen@5"},
           {"vxp-fault", "noise=5@6"},
           {"vxp-fault", "cut@7"},
           {"vxp-fault", "slow@8"},
           {"vxp-fault", "wrongdev@mode-status:4"},
           {"vxp-fault", "otherid@flash-read:2"}});
  std::vector<uint16_t> status{0x0632, 0};
  EXPECT_EQ(rig.request(status), isp::sealed({0x2632, 0, 0, 0}));  // 1: untouched

  auto echoFrame = rig.raw({0x062F, 0});                               // 2: echo
  EXPECT_EQ(echoFrame, isp::frame(isp::sealed({0x062F, 0})));

  EXPECT_TRUE(rig.raw({0x062F, 0}).empty());  // 3: silence

  auto bad = rig.request({0x062F, 0});  // 4: badsum, otherwise right
  ASSERT_EQ(bad.size(), 16u);
  EXPECT_FALSE(isp::checksumOk(bad));
  EXPECT_EQ(bad[0], 0xD62F);

  auto longer = rig.request({0x0633, 0});  // 5: one word too many
  ASSERT_EQ(longer.size(), 9u);
  EXPECT_EQ(isp::wordsOf(longer[0]), 8u);
  EXPECT_TRUE(isp::checksumOk(std::vector<uint16_t>(longer.begin(), longer.begin() + 8)));

  auto noisy = rig.raw({0x0633, 0});  // 6: junk before the frame
  EXPECT_NE(noisy[0], '=');
  EXPECT_EQ(noisy.size(), 5 + isp::frame(isp::sealed(std::vector<uint16_t>(longer.begin(), longer.begin() + 7))).size());
  EXPECT_EQ(hunt(noisy)->size(), 8u);

  auto cut = rig.raw({0x0632, 0});  // 7: half a frame, then the whole
  auto whole = isp::frame(isp::sealed({0x2632, 0, 0, 0}));
  EXPECT_EQ(cut.size(), whole.size() + whole.size() / 2);
  EXPECT_EQ(std::vector<uint8_t>(cut.end() - static_cast<long>(whole.size()), cut.end()), whole);
  EXPECT_EQ(*hunt(cut), isp::sealed({0x2632, 0, 0, 0}));

  Ms due = 0;
  rig.raw({0x0632, 0}, &due);  // 8: late, past one read's deadline
  EXPECT_GE(due, 4000u);

  rig.loadDriver("FDRIVER");
  rig.programParallel(7, std::vector<uint8_t>(0x100, 0xFF));  // header only
  ASSERT_TRUE(rig.accepted(rig.mode(0x0200, 7, 0, 64), 0x5502));
  EXPECT_EQ(rig.request(status)[1] & 0xFF, 1);  // mode-status 4: another device
  EXPECT_EQ(rig.request({0x0639, 0})[0], 0xF73A);
  auto other = rig.request({0x0639, 0});  // flash-read 2: another id, address kept
  EXPECT_EQ(other[0], 0xF73B);
  EXPECT_EQ(rig.request(status)[2], 32);
}

TEST(VxpCard, FaultsAtTheFirstMiddleAndLastBlockOfATransfer) {
  // Device 5 of 0x200 bytes goes data (0x100..0x1E0) first, header last:
  // places 0..7 are data, 8..15 the header.
  Rig rig(Args{{"vxp-fault", "garbled@flash-write:first"},
               {"vxp-fault", "noprogram=3@flash-write:middle"},
               {"vxp-fault", "nack@flash-write:lastx2"},
               {"vxp-fault", "short=5@flash-read:last"}});
  rig.loadDriver("FDRIVER");
  std::vector<uint8_t> img = pattern(0x200, 11);
  ASSERT_TRUE(rig.accepted(rig.mode(0x0100, 5, 0x100, 0x100), 0x5502));
  // First block: a refusal garbled into an acceptance with a bad checksum;
  // the block was not written and the address stays.
  auto garbled = rig.write(img, 0x100);
  ASSERT_EQ(garbled.size(), 4u);
  EXPECT_EQ(garbled[0], 0x1003);
  EXPECT_FALSE(isp::checksumOk(garbled));
  EXPECT_EQ(rig.request({0x0632, 0})[2], 0x100);
  for (uint32_t a = 0x100; a < 0x200; a += 32) ASSERT_TRUE(rig.accepted(rig.write(img, a), 0xF501));
  ASSERT_TRUE(rig.accepted(rig.mode(0x0100, 5, 0, 0x100), 0x5502));
  for (uint32_t a = 0; a < 0xE0; a += 32) ASSERT_TRUE(rig.accepted(rig.write(img, a), 0xF501));
  // The last block (0xE0, the header's last) is refused twice, then taken.
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(isNack(rig.write(img, 0xE0), 0x501, 0x1234));
    ASSERT_TRUE(rig.accepted(rig.mode(0x0100, 5, 0xE0, 0x20), 0x5502));
  }
  ASSERT_TRUE(rig.accepted(rig.write(img, 0xE0), 0xF501));
  // Reading it back: the middle block (place 8: 0x000) lacks word 3, and
  // the last read answer (0x1E0) carries 5 words and moves on by 10 bytes.
  ASSERT_TRUE(rig.accepted(rig.mode(0x0200, 5, 0, 0x200), 0x5502));
  std::vector<uint8_t> back = rig.readBack(0x1E0);
  std::vector<uint8_t> expected(img.begin(), img.begin() + 0x1E0);
  expected[6] = expected[7] = 0xFF;
  EXPECT_EQ(back, expected);
  auto shortAnswer = rig.request({0x0639, 0});
  ASSERT_EQ(shortAnswer.size(), 7u);
  EXPECT_EQ(shortAnswer[0], 0x473A);
  EXPECT_TRUE(isp::checksumOk(shortAnswer));
  EXPECT_EQ(shortAnswer[1], img[0x1E0] | img[0x1E1] << 8);
  EXPECT_EQ(rig.request({0x0632, 0})[2], 0x1EA);
  for (const char* hit : {"garbled@flash-write:first on vxp-fault exchange", "(flash-write 10, place 9 of 16)",
                          "place 16 of 16", "short=5@flash-read:last"})
    EXPECT_TRUE(rig.w.noted(hit)) << hit;
}

TEST(VxpCard, StallAndVanish) {
  Rig rig(Args{{"vxp-fault", "stall=700@1"}, {"vxp-fault", "stall@2"}, {"vxp-fault", "vanish@3"},
               {"micro-fault", "stall=50@P"}, {"micro-fault", "vanish@R"}});
  Ms due = 0;
  EXPECT_EQ(rig.request({0x0632, 0}, &due)[0], 0x2632);
  EXPECT_EQ(due, 701u);                          // answered once the card reads again
  EXPECT_TRUE(rig.raw({0x0632, 0}).empty());     // stopped for good: no answer
  EXPECT_TRUE(rig.raw({0x062F, 0}).empty());     // the line drops instead
  EXPECT_EQ(rig.w.stops, (std::vector<Ms>{700, 0}));
  EXPECT_EQ(rig.w.replugs, 1);
  EXPECT_EQ(rig.micro('P'), "=M*");
  EXPECT_EQ(rig.micro('R'), "");  // carried out, but the line is gone
  EXPECT_EQ(rig.w.replugs, 2);
  EXPECT_TRUE(rig.w.noted("VXP released"));
}

TEST(VxpCard, MicroCommandFaults) {
  Rig rig(Args{{"micro-fault", "silence@R:2"}, {"micro-fault", "unknown@P"}, {"micro-fault", "invalid=Z@4"},
               {"micro-fault", "slow@E:2"}, {"micro-fault", "echo@A:2"}, {"micro-fault", "noise=2@A:3"}});
  EXPECT_EQ(rig.micro('R'), "=M*");
  EXPECT_EQ(rig.micro('R'), "");     // the second =MR
  EXPECT_EQ(rig.micro('P'), "=M~");  // every =MP, not carried out:
  EXPECT_EQ(rig.request({0x0632, 0})[0], 0x2632);
  EXPECT_EQ(rig.micro('A'), "=MZ");  // the fourth command
  EXPECT_EQ(rig.micro('E'), "=M*");
  EXPECT_TRUE(rig.w.noted("fault silence@R:2 on micro-fault exchange 2 (R 2)"));
  rig.vxp->onMicroCommand('E', rig.w);  // the second =ME: late, but carried out
  ASSERT_EQ(rig.w.sent.size(), 1u);
  EXPECT_EQ(rig.w.sent[0].at, 15001u);
  rig.w.take();
  EXPECT_EQ(rig.micro('A'), "=MA\r");                       // a loop-back: not carried out
  EXPECT_EQ(rig.micro('A'), std::string("\0\x55=M*", 5));  // junk first
}

TEST(VxpCard, FlashOutlivesTheCardThroughTheStateDirectory) {
  std::string dir = tempDir();
  std::vector<uint8_t> img = pattern(0x190, 7);
  img.resize(0x1A0, 0xFF);  // the updater pads the last block
  auto frameBytes = [](const std::vector<uint16_t>& words) { return isp::frame(isp::sealed(words)); };
  {
    // Through the whole card: its command channel routes frames and micro commands.
    Options options;
    StateDir state(dir);
    Card card(options, state);
    TestWire w;
    auto img0 = driverImage("FDRIVER");
    for (const char* m : {"=MP\r", "=MR\r"}) card.receive(reinterpret_cast<const uint8_t*>(m), 4, 115200, w);
    for (uint32_t a = 0x800; a < 0x820; a += 16) {
      std::vector<uint16_t> m{0x950D, 0, static_cast<uint16_t>(a)};
      for (int i = 0; i < 8; ++i) m.push_back(static_cast<uint16_t>(img0[a + 2 * i] | img0[a + 2 * i + 1] << 8));
      auto f = frameBytes(m);
      card.receive(f.data(), f.size(), 115200, w);
    }
    auto call = frameBytes({0x3802, 0x0080, 0, 0x3300, 0});
    card.receive(call.data(), call.size(), 115200, w);
    auto mode = frameBytes({0x5502, 0x0100, 5, 0x100, 0, 0x90, 0});
    card.receive(mode.data(), mode.size(), 115200, w);
    for (uint32_t a = 0x100; a < img.size(); a += 32) {
      std::vector<uint16_t> m{0xF501};
      for (uint32_t i = 0; i < 32; i += 2) m.push_back(static_cast<uint16_t>(img[a + i] | img[a + i + 1] << 8));
      auto f = frameBytes(m);
      card.receive(f.data(), f.size(), 115200, w);
    }
    auto bytes = w.take();
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 6), "=M*=M*");
    EXPECT_TRUE(w.noted("ISP flash write 0x00000180"));
    // Written through at once: the file is right while the card runs.
    auto file = readFile(dir + "/flash5.bin");
    ASSERT_EQ(file.size(), img.size());
    EXPECT_EQ(std::vector<uint8_t>(file.begin() + 0x100, file.end()),
              std::vector<uint8_t>(img.begin() + 0x100, img.end()));
    EXPECT_EQ(file[0], 0xFF);  // the header is still erased
  }
  {
    Rig rig(Args{}, dir);
    ASSERT_TRUE(rig.accepted(rig.mode(0x0200, 5, 0x100, 0xA0), 0x5502));
    EXPECT_EQ(rig.readBack(0xA0), std::vector<uint8_t>(img.begin() + 0x100, img.end()));
    rig.loadDriver("FDRIVER");
    // Erasing the tail trims the file.
    ASSERT_TRUE(rig.accepted(rig.mode(0x0100, 5, 0x140, 0x200000 - 0x140), 0x5502));
    EXPECT_EQ(readFile(dir + "/flash5.bin").size(), 0x140u);
  }
  std::string cleanup = "rm -rf '" + dir + "'";
  EXPECT_EQ(std::system(cleanup.c_str()), 0);
}
