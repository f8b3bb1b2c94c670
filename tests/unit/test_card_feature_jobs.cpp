// FPGA, EDID, GAMMA and REMOTE as whole jobs against the simulated card on
// the virtual clock: the console text, the bytes on the wire, the card's
// final state and the outcome.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "components/edid.h"
#include "jobs/edid.h"
#include "jobs/modes.h"
#include "link/serial_link.h"
#include "support/fake_line.h"
#include "support/scratch_dir.h"
#include "support/sim_peer.h"
#include "support/updater_run.h"
#include "support/xsvf_stream.h"

namespace {

using Bytes = std::vector<uint8_t>;

class FeatureJob : public ::testing::Test {
 protected:
  void TearDown() override {
    link.reset();
    card.reset();
  }

  // A fresh card and port on a line that behaves.
  void start(const std::vector<std::string>& args = {}) {
    link.reset();
    card.reset();
    line.vanish();  // bytes an earlier card left on the line go with it
    line.replug();
    line.written.clear();
    line.failReads = line.failWrites = 0;
    line.stallWrites = false;
    card = std::make_unique<testsupport::SimPeer>(line, args);
    link = testsupport::openTestLink();
    ASSERT_NE(link, nullptr);
  }

  std::string file(const std::string& name, const Bytes& bytes) {
    return dir.write(name, std::string(bytes.begin(), bytes.end()));
  }
  std::string textFile(const std::string& name, const std::string& text) {
    return dir.write(name, text);
  }

  Outcome run(const std::function<Outcome()>& job) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const Outcome o = job();
    out = testing::internal::GetCapturedStdout();
    err = testing::internal::GetCapturedStderr();
    return o;
  }

  // What the updater wrote after the first `skip` bytes.
  std::string writtenAfter(std::size_t skip) const {
    const std::string all = line.writtenText();
    return all.size() > skip ? all.substr(skip) : std::string();
  }

  Bytes stored(const std::string& name) { return card->state().load(name).value_or(Bytes{}); }

  testsupport::ScratchDir dir;
  testsupport::FakeLine line;
  std::unique_ptr<testsupport::SimPeer> card;
  std::unique_ptr<SerialLink> link;
  std::string out, err;
};

// Everything between the heading and the ending must be progress lines.
void expectOnlyProgressBetween(const std::string& out, const std::string& head,
                               const std::string& tail) {
  ASSERT_EQ(out.compare(0, head.size(), head), 0) << out;
  ASSERT_GE(out.size(), head.size() + tail.size()) << out;
  ASSERT_EQ(out.compare(out.size() - tail.size(), tail.size(), tail), 0) << out;
  std::string middle = out.substr(head.size(), out.size() - head.size() - tail.size());
  for (std::size_t at = 0; at < middle.size();) {
    ASSERT_EQ(middle.compare(at, 8, "\rJob at "), 0) << middle.substr(at, 40);
    const std::size_t end = middle.find(" %", at);
    ASSERT_NE(end, std::string::npos);
    at = end + 2;
  }
}

// ---- FPGA ------------------------------------------------------------------

const char kAbortTail[] = "\n/**********************************/\n";

TEST_F(FeatureJob, FpgaStreamsTheFileOnTheCardsRequests) {
  start({"--model", "HDMITOSDI"});
  const Bytes stream = testxsvf::stream();
  const std::string path = file("fpga.xsvf", stream);
  EXPECT_EQ(run([&] { return ProgramFPGA(*link, path.c_str()); }), Outcome::Success);
  // The first answer is one byte of 60: 1.67 % plus the 0.2 every value gets.
  ASSERT_EQ(stream.size(), 60u);
  expectOnlyProgressBetween(out, "\n->Programming FPGA...\n\rJob at 1.87 %",
                            "\rJob at 100.00 %\nSuccess");
  EXPECT_EQ(stored("fpga.xsvf"), stream);
  EXPECT_EQ(line.writtenText().substr(0, 8), "#FPGA 1\r");
  EXPECT_EQ(writtenAfter(8), std::string(stream.begin(), stream.end()));
  EXPECT_EQ(line.timeouts.ReadIntervalTimeout, 0u);
  EXPECT_EQ(line.timeouts.ReadTotalTimeoutConstant, 50u);
  EXPECT_EQ(line.timeouts.WriteTotalTimeoutConstant, 50u);
  EXPECT_EQ(err, "");
}

TEST_F(FeatureJob, FpgaServesBlocksBeyondItsBufferAndSkipsNoise) {
  // 9000-bit registers: operand blocks of 1125 and 2250 bytes, each request
  // surrounded by bytes the updater must not take for requests.
  start({"--fpga-trailing", "\r\n.", "--fpga-stray", "?#"});
  const Bytes stream = testxsvf::stream(9000);
  const std::string path = file("fpga.xsvf", stream);
  EXPECT_EQ(run([&] { return ProgramFPGA(*link, path.c_str()); }), Outcome::Success);
  EXPECT_EQ(stored("fpga.xsvf"), stream);
  EXPECT_EQ(writtenAfter(8), std::string(stream.begin(), stream.end()));
  EXPECT_EQ(out.substr(out.size() - 24), "\rJob at 100.00 %\nSuccess");
}

TEST_F(FeatureJob, FpgaWaitsForTheRestOfASlowRequest) {
  // The four request bytes 300 ms apart: the block is still served in full,
  // no byte is taken twice.
  start({"--fpga-plan", "3,*", "--fpga-split-ms", "300"});
  const std::string path = file("fpga.xsvf", {1, 2, 3, 4});
  EXPECT_EQ(run([&] { return ProgramFPGA(*link, path.c_str()); }), Outcome::Success);
  EXPECT_EQ(stored("fpga.xsvf"), (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(out.find("error"), std::string::npos) << out;
}

TEST_F(FeatureJob, FpgaReportsNoticesBrokenRequestsAndAMissingSuccess) {
  start({"--fpga-plan", "*,!x,cut,2,~E"});
  const std::string path = file("fpga.xsvf", {9, 8, 7});
  EXPECT_EQ(run([&] { return ProgramFPGA(*link, path.c_str()); }), Outcome::Failure);
  const std::size_t notice = out.find("\nerror : $x");
  const std::size_t broken = out.find("\nerror : incomplete request from the card");
  EXPECT_NE(notice, std::string::npos) << out;
  EXPECT_NE(broken, std::string::npos) << out;
  EXPECT_LT(notice, broken);
  EXPECT_EQ(out.substr(out.size() - 33), "\nThe card did not confirm success");
  EXPECT_EQ(stored("fpga.xsvf"), (Bytes{9, 8, 7}));
}

TEST_F(FeatureJob, FpgaStopsAtTheEndOfTheFileInsteadOfSendingGarbage) {
  start({"--fpga-plan", "*,*,*"});
  const std::string path = file("fpga.xsvf", {5, 6});
  EXPECT_EQ(run([&] { return ProgramFPGA(*link, path.c_str()); }), Outcome::Failure);
  EXPECT_EQ(writtenAfter(8), "\x05\x06");
  // Where the file ended, and no stale system error text.
  EXPECT_EQ(err, "File read error\n: " + path + " ends after 2 bytes, the card asked for 1 more\n");
  EXPECT_EQ(out.substr(out.size() - 60), std::string("Taille du fichier : 2\n") + kAbortTail);
}

TEST_F(FeatureJob, FpgaSendsNothingOfABlockTheFileCannotFill) {
  start({"--fpga-plan", "4,7"});
  const std::string path = file("fpga.xsvf", Bytes(10, 0x11));
  EXPECT_EQ(run([&] { return ProgramFPGA(*link, path.c_str()); }), Outcome::Failure);
  EXPECT_EQ(writtenAfter(8), std::string(4, '\x11'));
  EXPECT_EQ(err, "File read error\n: " + path + " ends after 10 bytes, the card asked for 1 more\n");
  EXPECT_NE(out.find(std::string("Taille du fichier : 4\n") + kAbortTail), std::string::npos);
}

TEST_F(FeatureJob, FpgaProgressCountsAtMost700000Bytes) {
  std::string plan = "60000";
  for (int i = 1; i < 12; ++i) plan += ",60000";
  start({"--fpga-plan", plan});
  Bytes big(720000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 13);
  const std::string path = file("big.xsvf", big);
  EXPECT_EQ(run([&] { return ProgramFPGA(*link, path.c_str()); }), Outcome::Success);
  // 60000 of 700000 (not of 720000) bytes: 8.57 % + 0.2.
  expectOnlyProgressBetween(out, "\n->Programming FPGA...\n\rJob at 8.77 %",
                            "\rJob at 100.00 %\nSuccess");
  EXPECT_EQ(stored("fpga.xsvf"), big);
}

// Passes the card's traffic through and breaks the line once the card has
// taken the file's first byte.
struct FaultAfterFirstByte : testsupport::Peer {
  testsupport::Peer* card = nullptr;
  std::function<void(testsupport::FakeLine&)> fault;
  std::optional<uint64_t> brokeAt;
  void onWrite(const uint8_t* d, std::size_t n, uint32_t baud, testsupport::FakeLine& l) override {
    card->onWrite(d, n, baud, l);
    if (!brokeAt && n == 1 && d[0] == 1) {
      fault(l);
      brokeAt = l.now();
    }
  }
  std::optional<uint64_t> nextEvent() const override { return card->nextEvent(); }
  void onEvent(testsupport::FakeLine& l) override { card->onEvent(l); }
};

TEST_F(FeatureJob, FpgaEndsWithinSecondsWhenTheLineFailsMidStream) {
  using testsupport::FakeLine;
  struct Case {
    const char* name;
    std::function<void(FakeLine&)> fault;
    const char* message;
    uint64_t minMs, maxMs;  // from the fault to the end of the run
  };
  const Case cases[] = {
      // Reads that keep failing (the adapter was unplugged).
      {"reads fail", [](FakeLine& l) { l.failReads = 1 << 30; },
       "\nFailed to read data : error 1117\n", 2000, 2100},
      // The card stops taking bytes in the middle of a block answer.
      {"writes stall", [](FakeLine& l) { l.stallWrites = true; },
       "Failed to write data : the card stopped reading (nothing went out for 3 s)\n", 3000,
       3300},
      {"a write fails", [](FakeLine& l) { l.failWrites = 1; },
       "Failed to write data : error 31\n", 0, 200},
  };
  for (const Case& c : cases) {
    start({"--fpga-plan", "*,4"});
    const std::string path = file("fpga.xsvf", {1, 2, 3, 4, 5});
    FaultAfterFirstByte breaker;
    breaker.card = card.get();
    breaker.fault = c.fault;
    line.setPeer(&breaker);
    EXPECT_EQ(run([&] { return ProgramFPGA(*link, path.c_str()); }), Outcome::Failure) << c.name;
    line.setPeer(card.get());
    ASSERT_TRUE(breaker.brokeAt.has_value()) << c.name;
    EXPECT_NE(out.find(std::string(c.message) + "Taille du fichier : 1\n" + kAbortTail),
              std::string::npos)
        << c.name << ": " << out;
    EXPECT_GE(line.now() - *breaker.brokeAt, c.minMs) << c.name;
    EXPECT_LE(line.now() - *breaker.brokeAt, c.maxMs) << c.name;
    EXPECT_EQ(writtenAfter(8), "\x01") << c.name;
  }
}

TEST_F(FeatureJob, FpgaWithoutItsFileSendsNothing) {
  start();
  EXPECT_EQ(run([&] { return ProgramFPGA(*link, dir.file("none.xsvf").c_str()); }), Outcome::Failure);
  EXPECT_EQ(out, std::string("Taille du fichier : 0\n") + kAbortTail);
  EXPECT_TRUE(line.written.empty());
}

// ---- EDID ------------------------------------------------------------------

Bytes edidImage(std::size_t n) {
  Bytes e(n);
  for (std::size_t i = 0; i < n; ++i) e[i] = static_cast<uint8_t>(i * 31 + 7);
  return e;
}

TEST_F(FeatureJob, EdidWritesTwoBlocksWithPlainSum) {
  start({"--model", "DVITOSDI", "--edid-stray", "x~"});
  const Bytes image = edidImage(256);
  const std::string path = file("EDID.bin", image);
  EXPECT_EQ(run([&] { return ProgramEDID(*link, path.c_str()); }), Outcome::Success);
  EXPECT_EQ(out,
            "\n->Program EDID with  256 bytes...\nSuccess\n\nTotal Time : 0 minutes 0 seconds\n\n");
  uint8_t sum = 0;
  for (uint8_t b : image) sum = static_cast<uint8_t>(sum + b);
  EXPECT_EQ(line.writtenText(), "#EDID 2\r" + std::string(image.begin(), image.end()) +
                                    std::string(1, static_cast<char>(sum)));
  EXPECT_EQ(stored("edid.bin"), image);
  EXPECT_EQ(line.keysRead, 0);
}

TEST_F(FeatureJob, EdidRefusesOtherLengthsBeforeSendingAnything) {
  start();
  for (std::size_t n : {0u, 127u, 129u, 255u, 257u, 400u}) {
    const std::string path = file("EDID.bin", edidImage(n));
    EXPECT_EQ(run([&] { return ProgramEDID(*link, path.c_str()); }), Outcome::Failure) << n;
    EXPECT_EQ(out,
              "\nError only file of 128 or 256 bytes can be read\n"
              "Unable to write EDID information \n\nPress any key to continue\n")
        << n;
  }
  EXPECT_TRUE(line.written.empty());
  EXPECT_EQ(line.keysRead, 6);
}

TEST_F(FeatureJob, EdidVerdictEIsFailedWithoutKeyPrompt) {
  start({"--edid-verdict", "E"});
  const std::string path = file("EDID.bin", edidImage(128));
  EXPECT_EQ(run([&] { return ProgramEDID(*link, path.c_str()); }), Outcome::Failure);
  EXPECT_EQ(out,
            "\n->Program EDID with  128 bytes...\nFailed\n\nTotal Time : 0 minutes 0 seconds\n\n");
  EXPECT_EQ(line.writtenText().substr(0, 8), "#EDID 1\r");
  EXPECT_EQ(line.keysRead, 0);
  EXPECT_TRUE(stored("edid.bin").empty());
}

TEST_F(FeatureJob, EdidGivesUpFiveSecondsAfterTheCardFallsSilent) {
  start({"--edid-silent-after", "10"});
  const std::string path = file("EDID.bin", edidImage(128));
  const uint64_t t0 = line.now();
  EXPECT_EQ(run([&] { return ProgramEDID(*link, path.c_str()); }), Outcome::Failure);
  EXPECT_EQ(out,
            "\n->Program EDID with  128 bytes...\n"
            "Unable to write EDID information \n\nPress any key to continue\n");
  EXPECT_EQ(line.written.size(), 8u + 11u);  // the 11th byte got no '.'
  EXPECT_GE(line.now() - t0, 5500u);
  EXPECT_LT(line.now() - t0, 5700u);
  EXPECT_EQ(line.keysRead, 1);
}

TEST_F(FeatureJob, DefaultEdidCommandRestoresTheBuiltInImage) {
  start();
  card->state().save("edid.bin", edidImage(256));
  const uint64_t t0 = line.now();
  EXPECT_EQ(run([&] { return ProgramDefaultEDID(*link); }), Outcome::Success);
  EXPECT_EQ(out, "\nTime : 0 minutes 0 seconds\n");
  EXPECT_EQ(line.writtenText(), "#EDID 0\r");
  EXPECT_EQ(line.now() - t0, 500u);
  EXPECT_EQ(stored("edid.bin"), cardsim::defaultEdid());
}

// ---- GAMMA -----------------------------------------------------------------

std::string gammaText(int lines, const char* sep = ",") {
  std::string t = "% gamma table\n% red, green, blue\n";
  for (int i = 0; i < lines; ++i) {
    t += std::to_string(i % 1024) + sep + std::to_string(1023 - i % 1024) + sep +
         std::to_string((i * 3) % 1024);
    t += (i % 100 == 0) ? "\r\n% every hundred lines a comment\n" : "\n";
  }
  return t;
}

std::string storedGammaFor(int lines) {
  std::string t;
  for (int i = 0; i < lines; ++i)
    t += std::to_string(i) + "," + std::to_string(1023 - i) + "," + std::to_string((i * 3) % 1024) +
         "\n";
  return t;
}

TEST_F(FeatureJob, GammaSendsTheTableValueByValue) {
  start({"--gamma-greeting", "ready\r\n", "--gamma-stray", "x"});
  const std::string path = textFile("gamma.csv", gammaText(1024, "; "));
  EXPECT_EQ(run([&] { return ProgramGamma(*link, path.c_str()); }), Outcome::Success);
  EXPECT_EQ(out, "\n->Analysing Gamma File...OK\n->Sending Gamma Data...Success\n\n");
  const Bytes txt = stored("gamma.txt");
  EXPECT_EQ(std::string(txt.begin(), txt.end()), storedGammaFor(1024));
  const std::string w = line.writtenText();
  ASSERT_EQ(w.size(), 11u + 6144u + 1u);
  EXPECT_EQ(w.substr(0, 11), "#GAMMA 3 0\r");
  EXPECT_EQ(w.substr(11, 6), std::string("\0\0\x03\xFF\0\0", 6));
  uint8_t sum = 0;
  for (std::size_t i = 11; i < 11 + 6144; ++i) sum = static_cast<uint8_t>(sum + w[i]);
  EXPECT_EQ(static_cast<uint8_t>(w.back()), sum);
}

TEST_F(FeatureJob, GammaRefusesBadFilesBeforeSendingAnything) {
  start();
  struct Case {
    std::string text, message;
  };
  std::string blank = gammaText(1024);
  blank.insert(blank.find("\n5,") + 1, "\n");
  std::string range = gammaText(1024);
  range.replace(range.find("\n7,1016,21"), 10, "\n7,1024,21");
  std::string negative = gammaText(1024);
  negative.replace(negative.find("\n9,1014,27"), 10, "\n-1,1014,27");
  const Case cases[] = {
      {gammaText(1025), "Gamma File error -> The file contains 1025 lines (only 1024 lines are accepted)"},
      {blank, "Gamma File error -> The file contains 1025 lines (only 1024 lines are accepted)"},
      {gammaText(1023), "Gamma File error -> The file contains 1023 lines (only 1024 lines are accepted)"},
      {gammaText(2000), "Gamma File error -> The file contains 2000 lines (only 1024 lines are accepted)"},
      {range, "\nError, the RGB value must be between 0 and 1023."},
      {negative, "\nError, the RGB value must be between 0 and 1023."},
  };
  for (const Case& c : cases) {
    const std::string path = textFile("gamma.csv", c.text);
    EXPECT_EQ(run([&] { return ProgramGamma(*link, path.c_str()); }), Outcome::Failure);
    EXPECT_EQ(out, "\n->Analysing Gamma File..." + c.message + "\nPress any key to continue\n");
  }
  EXPECT_TRUE(line.written.empty());
  EXPECT_TRUE(stored("gamma.txt").empty());
}

TEST_F(FeatureJob, GammaVerdictEAndASilentCard) {
  start({"--gamma-verdict", "E"});
  const std::string path = textFile("gamma.csv", gammaText(1024));
  EXPECT_EQ(run([&] { return ProgramGamma(*link, path.c_str()); }), Outcome::Failure);
  EXPECT_EQ(out, "\n->Analysing Gamma File...OK\n->Sending Gamma Data...Failed\n\n");
  EXPECT_EQ(line.keysRead, 0);

  start({"--gamma-silent-after", "100"});
  const uint64_t t0 = line.now();
  EXPECT_EQ(run([&] { return ProgramGamma(*link, path.c_str()); }), Outcome::Failure);
  EXPECT_EQ(out, "\n->Analysing Gamma File...OK\n->Sending Gamma Data...ERROR 1"
                 "\nPress any key to continue\n");
  EXPECT_EQ(line.written.size(), 11u + 101u * 2u);
  EXPECT_GE(line.now() - t0, 60000u);
  EXPECT_EQ(line.keysRead, 1);
}

// ---- REMOTE ----------------------------------------------------------------

TEST_F(FeatureJob, RemotePlaysEveryKindOfLine) {
  start({"--remote-nack", "BAD", "--remote-silent", "MUTE", "--remote-stray", "zz"});
  const std::string path = textFile("remote.txt",
                                    "; a comment\n"
                                    "@Setting gain\r\n"
                                    "#GAIN 3\r\n"
                                    "&200\n"
                                    "#BAD 1\n"
                                    "$ press\n"
                                    "&\n"
                                    "#MUTE\n"
                                    "\n"
                                    "@done");
  line.keys.push_back(' ');
  const uint64_t t0 = line.now();
  EXPECT_EQ(run([&] { return Remote(*link, path.c_str()); }), Outcome::Failure);
  EXPECT_EQ(out,
            "\n->Remote Function...Now executing the function in the remote.txt file...\n"
            "\nSetting gain\r\n"
            "\nACK received...\n"
            "\nNACK received...\n"
            "Press a key to continue!\r                                                     "
            "\nNACK received...\n"
            "\ndone"
            "\n->ACK : 1 / 2  \n->NACK : 1 / 2  \nEnd of remote.txt");
  EXPECT_EQ(line.writtenText(), "\r#GAIN 3\r\r#BAD 1\r\r#MUTE\r");
  EXPECT_EQ(line.keysRead, 1);
  // Two pauses of 200 ms and the silent command's 4 s are in the run time.
  EXPECT_GE(line.now() - t0, 4400u);
  const Bytes log = stored("remote.log");
  EXPECT_EQ(std::string(log.begin(), log.end()), "ACK GAIN 3\nNACK BAD 1\n");
}

TEST_F(FeatureJob, RemoteSucceedsOnlyWhenEveryCommandIsAcknowledged) {
  start({"--remote-no-prompt"});
  std::string path = textFile("remote.txt", "#A 1\n#B 2\n");
  EXPECT_EQ(run([&] { return Remote(*link, path.c_str()); }), Outcome::Success);
  EXPECT_NE(out.find("\n->ACK : 2 / 2  \n->NACK : 0 / 2  "), std::string::npos);

  path = textFile("remote.txt", "only a comment\n@and a message\n");
  EXPECT_EQ(run([&] { return Remote(*link, path.c_str()); }), Outcome::Success);
  EXPECT_NE(out.find("\n->ACK : 0 / 0  \n->NACK : 0 / 0  "), std::string::npos);
}

}  // namespace
