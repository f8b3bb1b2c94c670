// ISP message, line encoding and one request/answer exchange against a
// scripted card on the virtual clock, and how every writer reports a failed
// write.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "isp/isp_message.h"
#include "isp/isp_transaction.h"
#include "isp/line_encoding.h"
#include "jobs/modes.h"
#include "link/micro_command.h"
#include "link/serial_link.h"
#include "support/fake_line.h"
#include "support/isp_peer.h"
#include "support/scripted_vxp.h"
#include "support/scratch_dir.h"
#include "support/updater_run.h"

namespace {

using testsupport::FakeLine;
using Bytes = std::vector<uint8_t>;
using Words = std::vector<uint16_t>;

Bytes encodeWords(Words words, bool withChecksum = true) {
  if (withChecksum) {
    words.resize(ispWords(words[0]));
    createChecksum(words.data());
  }
  Bytes raw;
  for (uint16_t w : words) {
    raw.push_back(static_cast<uint8_t>(w & 0xFF));
    raw.push_back(static_cast<uint8_t>(w >> 8));
  }
  Bytes frame(2 * raw.size() + 4);
  frame.resize(yEncode(frame.data(), raw.data(), static_cast<int>(raw.size())));
  return frame;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// ---------------------------------------------------------------- message

TEST(IspMessage, ChecksumsOfTheKnownRequests) {
  uint16_t status[kIspMaxWords] = {0x0632, 0x0000};
  createChecksum(status);
  EXPECT_EQ(status[2], 0xF9CE);
  uint16_t read[kIspMaxWords] = {0x0639, 0x0000};
  createChecksum(read);
  EXPECT_EQ(read[2], 0xF9C7);
  uint16_t call[kIspMaxWords] = {0x3802, 0x0080, 0x0000, 0x3300, 0x0000};
  createChecksum(call);
  EXPECT_EQ(call[5], 0x947E);
  EXPECT_TRUE(checksumOK(call));

  // Count 15: 18 words, checksum in word 17; any changed word is caught.
  uint16_t write[kIspMaxWords] = {0xF501};
  for (int k = 1; k <= 16; ++k) write[k] = static_cast<uint16_t>(k * 0x1111);
  createChecksum(write);
  EXPECT_TRUE(checksumOK(write));
  uint32_t sum = 0;
  for (int k = 0; k < 18; ++k) sum += write[k];
  EXPECT_EQ(sum & 0xFFFF, 0u);
  for (int k = 0; k < 18; ++k) {
    uint16_t copy[kIspMaxWords];
    std::memcpy(copy, write, sizeof copy);
    copy[k] ^= 0x0100;
    EXPECT_FALSE(checksumOK(copy)) << k;
  }
  // A sum that is a multiple of 65536 gives checksum 0.
  uint16_t zero[kIspMaxWords] = {0x0001, 0xFFFF};
  createChecksum(zero);
  EXPECT_EQ(zero[2], 0x0000);
}

TEST(IspMessage, Dumps) {
  uint16_t status[kIspMaxWords] = {0x0632, 0x0000};
  createChecksum(status);
  testing::internal::CaptureStdout();
  printMsg(status);
  const unsigned char bytes[] = {0x3D, 0x47, 0x0D};
  printMsgChar(bytes, 3);
  printMsgChar(bytes, 0);
  printMsgChar(bytes, 0x10000);  // reads as 0 in 16 bits
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "0x0632 0x0000 0xf9ce \n3d470d\n\n\n");
}

// --------------------------------------------------------------- encoding

TEST(LineEncoding, WorkedExamplesAndEscapes) {
  unsigned char out[80];
  const unsigned char status[] = {0x32, 0x06, 0x00, 0x00, 0xCE, 0xF9};
  EXPECT_EQ(yEncode(out, status, 6), 9);
  EXPECT_EQ(Bytes(out, out + 10), (Bytes{0x3D, 0x47, 0x5C, 0x30, 0x2A, 0x2A, 0xF8, 0x23, 0x0D, 0x00}));

  EXPECT_EQ(yEncode(out, status, 0), 3);
  EXPECT_EQ(Bytes(out, out + 3), (Bytes{0x3D, 0x47, 0x0D}));

  const struct {
    unsigned char in;
    unsigned char second;
  } escapes[] = {{0xD6, 0x40}, {0xDF, 0x49}, {0xE0, 0x4A}, {0xE3, 0x4D}, {0x13, 0x7D}};
  for (const auto& e : escapes) {
    EXPECT_EQ(yEncode(out, &e.in, 1), 5);
    EXPECT_EQ(Bytes(out, out + 5), (Bytes{0x3D, 0x47, 0x3D, e.second, 0x0D})) << int(e.in);
  }

  unsigned char dec[8];
  const unsigned char escaped[] = {0x3D, 0x7D, 0x2A};
  EXPECT_EQ(yDecode(dec, escaped, 3), 2);
  EXPECT_EQ(dec[0], 0x13);
  EXPECT_EQ(dec[1], 0x00);
  // A trailing escape takes the byte after the run (the frame's CR).
  const unsigned char trailing[] = {0x2B, 0x3D, 0x4D};
  EXPECT_EQ(yDecode(dec, trailing, 2), 2);
  EXPECT_EQ(dec[1], 0xE3);
}

TEST(LineEncoding, EveryByteRoundTripsAndNoFrameHoldsCrOrFrameStart) {
  unsigned char data[256];
  for (int b = 0; b < 256; ++b) data[b] = static_cast<unsigned char>(b);
  unsigned char enc[2 * 256 + 4];
  const int n = yEncode(enc, data, 256);
  for (int k = 2; k < n - 1; ++k) {
    EXPECT_NE(enc[k], 0x0D);
    EXPECT_NE(enc[k], 0x00);
    EXPECT_NE(enc[k], 0x0A);
    EXPECT_NE(enc[k], 0x09);
    if (enc[k] == 0x3D) {
      EXPECT_NE(enc[k + 1], 'G');
    }
  }
  unsigned char dec[256];
  EXPECT_EQ(yDecode(dec, enc + 2, n - 3), 256);
  EXPECT_EQ(std::memcmp(dec, data, 256), 0);

  testing::internal::CaptureStdout();
  validateEncoding(enc, n, data);  // identical: prints nothing
  unsigned char other[256];
  std::memcpy(other, data, 256);
  other[5] = 0x90;
  validateEncoding(enc, n, other);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "0xffffff90/0x05\n");
}

// ------------------------------------------------------------ transaction

using IspLine = testsupport::IspLineTest;
using testsupport::ScriptedVxp;

TEST_F(IspLine, RequestGoesOutAsTheKnownFrameAndTheAnswerIsDecoded) {
  uint16_t response[kIspMaxWords] = {};
  testing::internal::CaptureStdout();
  EXPECT_EQ(statusExchange(encodeWords({0x1001, 0x0632, 0x0005}), response), IspResult::Accepted);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(line.written, (Bytes{0x3D, 0x47, 0x5C, 0x30, 0x2A, 0x2A, 0xF8, 0x23, 0x0D}));
  EXPECT_EQ(response[0], 0x1001);
  EXPECT_EQ(response[1], 0x0632);
  EXPECT_EQ(response[2], 0x0005);
}

TEST_F(IspLine, FrameHuntingSkipsNoiseDoubledEqualsAndCutOffFrames) {
  const Bytes good = encodeWords({0x0001, 0x0632});
  const Bytes cut = Bytes(good.begin(), good.end() - 3);
  const Bytes replies[] = {
      concat({text("noise\x01\x02=x"), good}),
      concat({text("=="), Bytes(good.begin() + 1, good.end())}),  // "==G..."
      concat({cut, good}),                                         // restart on "=G"
      concat({text("=G"), encodeWords({0x0001, 0x1111}), good}),  // the first whole frame wins
  };
  const uint16_t expectWord1[] = {0x0632, 0x0632, 0x0632, 0x1111};
  for (int k = 0; k < 4; ++k) {
    uint16_t response[kIspMaxWords] = {};
    testing::internal::CaptureStdout();
    const IspResult r = statusExchange(replies[k], response);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r, IspResult::Accepted) << k;
    EXPECT_EQ(response[0], 0x0001) << k;
    EXPECT_EQ(response[1], expectWord1[k]) << k << out;
  }
}

// A frame that came along with the answer (a repeat, a late answer) must not
// be taken for the answer to the next request: the rest of the read that
// completed the answer is dropped.
TEST_F(IspLine, AFrameThatCameWithTheAnswerNeverAnswersTheNextRequest) {
  uint16_t response[kIspMaxWords] = {};
  EXPECT_EQ(statusExchange(concat({encodeWords({0x0001, 0x0632}), encodeWords({0x0001, 0x0999})}),
                           response),
            IspResult::Accepted);
  card.answerRequest = nullptr;
  uint16_t msg[kIspMaxWords] = {kIspModeStatusRequest, 0};
  testing::internal::CaptureStdout();
  // Nothing is left for the second request.
  EXPECT_EQ(sendISPCmd(*link, msg, response, 0), IspResult::NoAnswer);
  testing::internal::GetCapturedStdout();
}

TEST_F(IspLine, RefusalsEchoAndNack) {
  struct Case {
    Bytes reply;
    std::string expected;
  };
  const Case cases[] = {
      // Echo of the request: refused; its word 1 (0) is not the request's id.
      {encodeWords({0x0632, 0x0000}),
       "\nNACK received. Retry ... \n0x0632 0x0000 0xf9ce \n0x0632 0x0000 0xf9ce \n"
       "\nNACK on unknown command. 0x0000 != 0x0632\n"},
      // NACK for this request with the GSPI time-out word.
      {encodeWords({0x1002, 0x0632, 0x1234}),
       "GSPI Timeout\n\nNACK received. Retry ... \n0x0632 0x0000 0xf9ce \n0x1002 0x0632 0x1234 0xd798 \n"},
      // NACK naming another request.
      {encodeWords({0x1002, 0x0501, 0x0000}),
       "\nNACK received. Retry ... \n0x0632 0x0000 0xf9ce \n0x1002 0x0501 0x0000 0xeafd \n"
       "\nNACK on unknown command. 0x0501 != 0x0632\n"},
  };
  for (const Case& c : cases) {
    uint16_t response[kIspMaxWords] = {};
    testing::internal::CaptureStdout();
    EXPECT_EQ(statusExchange(c.reply, response), IspResult::Refused);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.expected);
  }
}

// Accepted after the report, but flagged as no proof: a refusal damaged on
// the line looks just like this.
TEST_F(IspLine, BadChecksumAndWrongLengthAreReportedButAccepted) {
  Words shortAnswer = {0x1001, 0x0632};  // header says 4 words, 3 arrive
  shortAnswer.push_back(static_cast<uint16_t>(0u - 0x1001u - 0x0632u));
  struct Case {
    Bytes reply;
    std::string out;
    bool wellFormed;
  };
  const Case cases[] = {
      {encodeWords({0x0001, 0x0632}), "", true},
      {encodeWords({0x0001, 0x0632, 0x1234}, false), "Bad checksum\n", false},
      {encodeWords(shortAnswer, false), "\n6 - 8 , Incompatible reception with command.\n", false},
  };
  for (const Case& c : cases) {
    uint16_t response[kIspMaxWords] = {};
    uint16_t msg[kIspMaxWords] = {kIspModeStatusRequest, 0};
    card.answerRequest = [&](const Words&, FakeLine& l) { l.deliver(c.reply, 2); };
    bool wellFormed = !c.wellFormed;
    testing::internal::CaptureStdout();
    EXPECT_EQ(sendISPCmd(*link, msg, response, 0, &wellFormed), IspResult::Accepted);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
    EXPECT_EQ(wellFormed, c.wellFormed) << c.out;
  }
  uint16_t response[kIspMaxWords] = {};

  // An empty frame "=G\r" is too short to be an answer but still decides.
  testing::internal::CaptureStdout();
  statusExchange(text("=G\r"), response);
  EXPECT_EQ(testing::internal::GetCapturedStdout().rfind("\n0 - 6 , Incompatible reception", 0), 0u);
}

TEST_F(IspLine, LateAnswersAfterRetriesAndTheWait) {
  // Accepted after three lost reads.
  uint16_t response[kIspMaxWords] = {};
  testing::internal::CaptureStdout();
  EXPECT_EQ(statusExchange(encodeWords({0x0001, 0x0632}), response, 10000), IspResult::Accepted);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Timeout. Retry...SendISP\nTimeout. Retry...SendISP\nTimeout. Retry...SendISP\n");

  // A NACK after five lost reads gives up at once.
  testing::internal::CaptureStdout();
  EXPECT_EQ(statusExchange(encodeWords({0x1002, 0x0632, 0x1234}), response, 16000),
            IspResult::Refused);
  std::string expected;
  for (int k = 0; k < 5; ++k) expected += "Timeout. Retry...SendISP\n";
  expected += "GSPI Timeout\n\nUnable to send command. Exit.\n0x1002 0x0632 0x1234 0xd798 \n";
  EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);

  // The request's wait passes before the first read.
  card.answerRequest = [](const Words&, FakeLine& l) { l.deliver(encodeWords({0x0001, 0}), 900); };
  uint16_t call[kIspMaxWords] = {kDriverCallRequest, 0x0080, 0, 0x3300, 0};
  const uint64_t start = line.now();
  testing::internal::CaptureStdout();
  EXPECT_EQ(sendISPCmd(*link, call, response, 1000), IspResult::Accepted);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_GE(line.now() - start, 1000u);
  EXPECT_LE(line.now() - start, 1010u);
}

TEST_F(IspLine, FrameCompletingAsTheDeadlinePassesIsDropped) {
  uint16_t response[kIspMaxWords] = {};
  // Part of the frame early, its end in the read after 3000 ms.
  card.answerRequest = [](const Words&, FakeLine& l) {
    const Bytes f = encodeWords({0x0001, 0x0632});
    l.deliver(Bytes(f.begin(), f.end() - 1), 5);
    l.deliver(Bytes{0x0D}, 3001);
  };
  uint16_t msg[kIspMaxWords] = {kIspModeStatusRequest, 0};
  testing::internal::CaptureStdout();
  EXPECT_EQ(sendISPCmd(*link, msg, response, 0), IspResult::NoAnswer);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("Timeout. Retry...SendISP\n"), 0u);
  EXPECT_NE(out.find("Unable to send command. Exit.SendISP\n"), std::string::npos);
}

TEST_F(IspLine, EndlessFrameWithoutCrNeverOverrunsTheStore) {
  unsigned char store[305 + 64];
  std::memset(store, 0x5A, sizeof store);
  Bytes flood = text("=G");
  for (int k = 0; k < 600; ++k) flood.push_back('a');
  line.deliver(flood);
  EXPECT_EQ(ReadISPResponse(*link, store, 305).length, 300);  // reading stops once 255 are stored
  for (std::size_t k = 305; k < sizeof store; ++k) ASSERT_EQ(store[k], 0x5A) << k;

  // A smaller store: bytes past its end are dropped, the CR still ends it.
  unsigned char small[40];
  std::memset(small, 0x5A, sizeof small);
  line.deliver(concat({text("=G"), Bytes(45, 'b'), Bytes{0x0D}}));
  EXPECT_EQ(ReadISPResponse(*link, small, 32).length, 32);
  for (std::size_t k = 32; k < sizeof small; ++k) ASSERT_EQ(small[k], 0x5A) << k;
}

// A silent card, a card that stops reading, a port that fails: each ends
// the exchange with its own result, within bounded (virtual) time, and the
// request goes out once.  Short writes are resumed.
TEST(IspLineFaults, EveryWayTheExchangeCanEnd) {
  std::string tenTimeouts;
  for (int k = 0; k < 10; ++k) tenTimeouts += "Timeout. Retry...SendISP\n";
  const std::string giveUp = tenTimeouts + "Unable to send command. Exit.SendISP\n";
  const Bytes request = {0x3D, 0x47, 0x5C, 0x30, 0x2A, 0x2A, 0xF8, 0x23, 0x0D};
  struct Case {
    const char* name;
    std::function<void(FakeLine&)> spoil;
    bool answers;
    IspResult result;
    std::string out;
    uint64_t minMs, maxMs;
    bool requestSent;
  };
  const Case cases[] = {
      {"silent card: 11 reads of 3 s", [](FakeLine&) {}, false, IspResult::NoAnswer, giveUp,
       33000, 33100, true},
      {"short writes are resumed", [](FakeLine& l) { l.shortWriteLimit = 2; }, true,
       IspResult::Accepted, "", 0, 100, true},
      {"failed write", [](FakeLine& l) { l.failWrites = 1; }, true, IspResult::PortFailure, "",
       0, 0, false},
      {"card stops reading", [](FakeLine& l) { l.stallWrites = true; }, true,
       IspResult::PortFailure, "", 3000, 5000, false},
      {"reads fail", [](FakeLine& l) { l.failReads = 1 << 30; }, true, IspResult::PortFailure,
       giveUp, 0, 100, true},
      {"device gone", [](FakeLine& l) { l.vanish(); }, true, IspResult::PortFailure, "", 0, 0,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeLine fresh;
    ScriptedVxp vxp;
    auto port = testsupport::openTestLink();
    ASSERT_TRUE(port);
    fresh.setPeer(&vxp);
    if (c.answers)
      vxp.answerRequest = [](const Words&, FakeLine& l) { l.deliver(encodeWords({0x0001, 5}), 2); };
    c.spoil(fresh);
    uint16_t msg[kIspMaxWords] = {kIspModeStatusRequest, 0};
    uint16_t response[kIspMaxWords] = {0xABCD};
    const uint64_t start = fresh.now();
    testing::internal::CaptureStdout();
    EXPECT_EQ(sendISPCmd(*port, msg, response, 0), c.result);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
    EXPECT_GE(fresh.now() - start, c.minMs);
    EXPECT_LE(fresh.now() - start, c.maxMs);
    EXPECT_EQ(fresh.written, c.requestSent ? request : Bytes{});
    EXPECT_EQ(response[0], c.result == IspResult::Accepted ? 0x0001 : 0xABCD);
    fresh.setPeer(nullptr);
  }
}

TEST(IspTickWrap, WaitsKeepTheirLengthAcrossTheWrap) {
  FakeLine line(0xFFFFFFFFu - 1500);  // the tick count wraps 1.5 s into the wait
  auto link = testsupport::openTestLink();
  ASSERT_TRUE(link);
  uint16_t msg[kIspMaxWords] = {kIspModeStatusRequest, 0};
  uint16_t response[kIspMaxWords] = {};
  testing::internal::CaptureStdout();
  EXPECT_EQ(sendISPCmd(*link, msg, response, 0), IspResult::NoAnswer);
  const uint64_t afterIsp = line.now();
  const unsigned char cmd[] = "=MA\r";
  EXPECT_FALSE(sendMicroCmd(*link, cmd, 4));
  testing::internal::GetCapturedStdout();
  EXPECT_GE(afterIsp, 33000u);
  EXPECT_GE(line.now() - afterIsp, 60000u);
}

}  // namespace
