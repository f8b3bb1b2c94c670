// The link's primitives on healthy and misbehaving lines: every write, wait
// and drain ends, by its deadline or its limit, on the virtual clock.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "exchange_log.h"
#include "link/serial_link.h"
#include "link/trace_log.h"
#include "support/fake_line.h"
#include "support/scratch_dir.h"
#include "support/trace_file.h"
#include "support/updater_run.h"

namespace {

using testsupport::FakeLine;
using testsupport::Traced;

enum class Fault { kNone, kStall, kShort, kFail, kVanish, kSlow };

// A far end that takes a second for each write call and stops reading
// after five bytes, or one that keeps talking, a byte a millisecond.
class BusyPeer : public testsupport::Peer {
 public:
  explicit BusyPeer(bool chatty) : chatty_(chatty) {}
  void onWrite(const uint8_t*, std::size_t n, uint32_t, FakeLine& line) override {
    if (chatty_) return;
    line.advanceTo(line.now() + 1000);
    received_ += n;
    if (received_ >= 5) line.stallWrites = true;
  }
  std::optional<uint64_t> nextEvent() const override {
    return chatty_ ? std::optional<uint64_t>(next_) : std::nullopt;
  }
  void onEvent(FakeLine& line) override {
    line.deliver("z");
    ++next_;
  }

 private:
  bool chatty_;
  uint64_t next_ = 1;
  std::size_t received_ = 0;
};

void inject(FakeLine& line, Fault fault) {
  switch (fault) {
    case Fault::kNone: break;
    case Fault::kStall: line.stallWrites = true; break;
    case Fault::kShort: line.shortWriteLimit = 3; break;
    case Fault::kFail: line.failWrites = line.failReads = 1; break;
    case Fault::kVanish: line.vanish(); break;
    case Fault::kSlow: line.shortWriteLimit = 1; break;
  }
}

bool same(const COMMTIMEOUTS& a, const COMMTIMEOUTS& b) {
  return a.ReadIntervalTimeout == b.ReadIntervalTimeout &&
         a.ReadTotalTimeoutMultiplier == b.ReadTotalTimeoutMultiplier &&
         a.ReadTotalTimeoutConstant == b.ReadTotalTimeoutConstant &&
         a.WriteTotalTimeoutMultiplier == b.WriteTotalTimeoutMultiplier &&
         a.WriteTotalTimeoutConstant == b.WriteTotalTimeoutConstant;
}

constexpr COMMTIMEOUTS kNoWriteTimeout = {MAXDWORD, MAXDWORD, 1, 0, 0};

// A trace for one case of a table, in a scratch folder of its own.
class CaseTrace {
 public:
  explicit CaseTrace(bool on) {
    std::string why;
    if (on) {
      EXPECT_TRUE(trace_.open(scratch_.file("trace.log"), &why)) << why;
    }
  }
  TraceLog* sink() { return trace_.isOpen() ? &trace_ : nullptr; }
  Traced read() const { return testsupport::readTrace(scratch_.file("trace.log")); }

 private:
  testsupport::ScratchDir scratch_;
  TraceLog trace_;
};

TEST(SerialLink, WriteAllResumesShortWritesAndGivesUpOnAStall) {
  struct Case {
    const char* name;
    Fault fault;
    COMMTIMEOUTS profile;
    DWORD stallMs;
    bool ok;
    std::size_t sent;
    DWORD error;
    uint64_t minMs, maxMs;
    const char* traceNote;  // with a trace
  };
  const Case cases[] = {
      {"healthy", Fault::kNone, SerialLink::kPolling, 3000, true, 10, 0, 0, 0, ""},
      {"short writes", Fault::kShort, SerialLink::kPolling, 3000, true, 10, 0, 0, 0, ""},
      // Five seconds of slow progress, then the stall limit counts from
      // the last byte that moved (stalled calls of 5 bytes last 500 ms).
      {"slow, then stalled", Fault::kSlow, SerialLink::kPolling, 3000, false, 5, ERROR_TIMEOUT,
       8000, 8500, "write stalled: 5 of 10 bytes sent"},
      // Each stalled call lasts 100 ms a byte: the limit ends the next one.
      {"stalled", Fault::kStall, SerialLink::kPolling, 3000, false, 0, ERROR_TIMEOUT, 3000, 4000,
       "write stalled: 0 of 10 bytes sent"},
      {"stalled, no write time-out", Fault::kStall, kNoWriteTimeout, 3000, false, 0, ERROR_TIMEOUT,
       3000, 3001, "write stalled: 0 of 10 bytes sent"},
      {"stalled, short limit", Fault::kStall, SerialLink::kSlice50, 200, false, 0, ERROR_TIMEOUT,
       200, 250, "write stalled: 0 of 10 bytes sent"},
      {"failing", Fault::kFail, SerialLink::kPolling, 3000, false, 0, ERROR_GEN_FAILURE, 0, 0,
       "write failed: error 31"},
      {"vanished", Fault::kVanish, SerialLink::kPolling, 3000, false, 0, ERROR_IO_DEVICE, 0, 0,
       "write failed: error 1117"},
  };
  const std::string data = "0123456789";
  // Each case with and without a trace: the trace holds what went out, and
  // the line sees the same bytes at the same times either way.
  for (const Case& c : cases) for (bool traced : {false, true}) {
    FakeLine line;
    BusyPeer slow(false);
    if (c.fault == Fault::kSlow) line.setPeer(&slow);
    CaseTrace trace(traced);
    auto link = testsupport::openTestLink();
    ASSERT_TRUE(link);
    link->setTrace(trace.sink());
    ASSERT_TRUE(link->setTimeouts(c.profile));
    inject(line, c.fault);
    const uint64_t start = line.now();
    std::size_t sent = 99;
    EXPECT_EQ(link->writeAll(data.data(), data.size(), c.stallMs, &sent), c.ok) << c.name;
    EXPECT_EQ(sent, c.sent) << c.name;
    EXPECT_EQ(line.writtenText(), data.substr(0, c.sent)) << c.name;
    EXPECT_EQ(link->lastError(), c.error) << c.name;
    EXPECT_GE(line.now() - start, c.minMs) << c.name;
    EXPECT_LE(line.now() - start, c.maxMs) << c.name;
    if (traced) {
      const Traced t = trace.read();
      EXPECT_EQ(t.out, line.writtenText()) << c.name;
      EXPECT_NE(t.notes.find(c.traceNote), std::string::npos) << c.name << "\n" << t.notes;
    }
  }
}

TEST(SerialLink, WriteByteIsOneBoundedCall) {
  struct Case {
    const char* name;
    Fault fault;
    bool ok;
    const char* written;
    uint64_t ms;
  };
  const Case cases[] = {
      {"healthy", Fault::kNone, true, "6", 0},
      {"stalled: the call ends on its time-out", Fault::kStall, true, "", 100},
      {"failing", Fault::kFail, false, "", 0},
      {"vanished", Fault::kVanish, false, "", 0},
  };
  for (const Case& c : cases) {
    FakeLine line;
    auto link = testsupport::openTestLink();
    ASSERT_TRUE(link);
    inject(line, c.fault);
    EXPECT_EQ(link->writeByte('6'), c.ok) << c.name;
    EXPECT_EQ(line.writtenText(), c.written) << c.name;
    EXPECT_EQ(line.now(), c.ms) << c.name;
  }
}

TEST(SerialLink, ReadsAndWaitsEndByTheirDeadline) {
  enum class Call { kRead, kReadUntil, kWaitByte, kWaitAnyOf };
  struct Case {
    const char* name;
    Call call;
    COMMTIMEOUTS profile;
    const char* arriving;  // what the card sends
    uint64_t arrivesAt;
    Fault fault;
    const char* result;  // "ok", "failed", "byte", "timeout"
    const char* got;
    uint64_t minMs, maxMs;
  };
  const COMMTIMEOUTS polling = SerialLink::kPolling, slice = SerialLink::kSlice50;
  const Case cases[] = {
      {"read, silent, polling", Call::kRead, polling, "", 0, Fault::kNone, "ok", "", 1, 1},
      {"read, silent, 50 ms slices", Call::kRead, slice, "", 0, Fault::kNone, "ok", "", 50, 50},
      {"read, waiting bytes", Call::kRead, polling, "abc", 0, Fault::kNone, "ok", "abc", 0, 0},
      {"read, failing", Call::kRead, polling, "abc", 0, Fault::kFail, "failed", "", 0, 0},
      {"read, vanished", Call::kRead, polling, "", 0, Fault::kVanish, "failed", "", 0, 0},
      // readUntil waits for its deadline whatever profile is in force.
      {"readUntil, silent", Call::kReadUntil, slice, "", 0, Fault::kNone, "ok", "", 500, 500},
      {"readUntil, a byte", Call::kReadUntil, slice, "x", 120, Fault::kNone, "ok", "x", 120, 120},
      {"waitByte, a byte", Call::kWaitByte, polling, "xy", 300, Fault::kNone, "byte", "x", 300,
       300},
      {"waitByte, silent", Call::kWaitByte, slice, "", 0, Fault::kNone, "timeout", "", 1000, 1001},
      {"waitByte, late byte", Call::kWaitByte, polling, "x", 1500, Fault::kNone, "timeout", "",
       1000, 1001},
      {"waitByte, vanished", Call::kWaitByte, polling, "", 0, Fault::kVanish, "failed", "", 0, 0},
      {"waitAnyOf, others dropped", Call::kWaitAnyOf, polling, "xyzN", 10, Fault::kNone, "byte",
       "N", 10, 10},
      {"waitAnyOf, none of the set", Call::kWaitAnyOf, polling, "xyz", 10, Fault::kNone, "timeout",
       "", 1000, 1001},
      {"waitAnyOf, failing", Call::kWaitAnyOf, polling, "A", 0, Fault::kFail, "failed", "", 0, 0},
  };
  for (const Case& c : cases) for (bool traced : {false, true}) {
    FakeLine line;
    CaseTrace trace(traced);
    auto link = testsupport::openTestLink();
    ASSERT_TRUE(link);
    link->setTrace(trace.sink());
    ASSERT_TRUE(link->setTimeouts(c.profile));
    line.deliver(c.arriving, c.arrivesAt);
    inject(line, c.fault);
    const uint64_t start = line.now();
    const DWORD deadline = GetTickCount() + (c.call == Call::kReadUntil ? 500 : 1000);
    unsigned char buffer[16] = {};
    DWORD got = 0;
    std::string result;
    switch (c.call) {
      case Call::kRead:
        result = link->read(buffer, sizeof buffer, &got) ? "ok" : "failed";
        break;
      case Call::kReadUntil:
        result = link->readUntil(buffer, sizeof buffer, deadline, &got) ? "ok" : "failed";
        break;
      case Call::kWaitByte:
      case Call::kWaitAnyOf: {
        const unsigned char set[] = {'A', 'N'};
        const SerialLink::Wait wait = c.call == Call::kWaitByte
                                          ? link->waitByte(buffer, deadline)
                                          : link->waitAnyOf(set, sizeof set, deadline, buffer);
        result = wait == SerialLink::Wait::kByte      ? "byte"
                 : wait == SerialLink::Wait::kTimeout ? "timeout"
                                                      : "failed";
        got = wait == SerialLink::Wait::kByte ? 1 : 0;
        break;
      }
    }
    EXPECT_EQ(result, c.result) << c.name;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), got), c.got) << c.name;
    EXPECT_GE(line.now() - start, c.minMs) << c.name;
    EXPECT_LE(line.now() - start, c.maxMs) << c.name;
    if (traced) {
      // Every byte the link took in, in order, the ones returned last.
      const Traced t = trace.read();
      const std::string arriving = c.arriving, returned(reinterpret_cast<char*>(buffer), got);
      EXPECT_EQ(t.in, arriving.substr(0, t.in.size())) << c.name;
      ASSERT_GE(t.in.size(), returned.size()) << c.name;
      EXPECT_EQ(t.in.substr(t.in.size() - returned.size()), returned) << c.name;
      EXPECT_EQ(t.notes.find("failed: error 1117") != std::string::npos, result == "failed")
          << c.name;
    }
    if (result == "failed") {
      EXPECT_EQ(link->lastError(), ERROR_IO_DEVICE) << c.name;
    } else {
      // The deadline reads leave the profile in force as it was.
      DWORD more = 0;
      ASSERT_TRUE(link->read(buffer, sizeof buffer, &more)) << c.name;
      EXPECT_TRUE(same(line.timeouts, c.profile)) << c.name;
    }
  }
}

TEST(SerialLink, DrainEndsOnAQuietReadOrAtItsLimit) {
  struct Case {
    const char* name;
    COMMTIMEOUTS profile;
    std::size_t stale;  // bytes waiting
    bool chattyCard;    // the card never stops talking
    Fault fault;
    std::size_t dropped;
    uint64_t minMs, maxMs;
  };
  const Case cases[] = {
      {"quiet, polling", SerialLink::kPolling, 0, false, Fault::kNone, 0, 1, 1},
      {"quiet, 50 ms slices", SerialLink::kSlice50, 0, false, Fault::kNone, 0, 50, 50},
      {"stale input", SerialLink::kPolling, 3000, false, Fault::kNone, 3000, 1, 1},
      {"a card that keeps talking", SerialLink::kPolling, 0, true, Fault::kNone, 200, 200, 201},
      {"failing", SerialLink::kPolling, 10, false, Fault::kFail, 0, 0, 0},
      {"vanished", SerialLink::kPolling, 0, false, Fault::kVanish, 0, 0, 0},
  };
  for (const Case& c : cases) {
    FakeLine line;
    BusyPeer chatty(true);
    if (c.chattyCard) line.setPeer(&chatty);
    auto link = testsupport::openTestLink();
    ASSERT_TRUE(link);
    ASSERT_TRUE(link->setTimeouts(c.profile));
    line.deliver(std::string(c.stale, 's'));
    inject(line, c.fault);
    const uint64_t start = line.now();
    const std::size_t dropped = link->drain(200);
    if (c.chattyCard) {
      EXPECT_GE(dropped, c.dropped - 2) << c.name;
      EXPECT_LE(dropped, c.dropped + 2) << c.name;
    } else {
      EXPECT_EQ(dropped, c.dropped) << c.name;
    }
    EXPECT_GE(line.now() - start, c.minMs) << c.name;
    EXPECT_LE(line.now() - start, c.maxMs) << c.name;
  }
}

TEST(SerialLink, SettingsReopenAndTheProfileInForce) {
  struct Case {
    const char* name;
    Fault fault;
    bool replugged;
    std::function<bool(SerialLink&)> call;
    bool ok;
    const char* printed;
    DWORD error;
    DWORD baud;                  // on the line afterwards
    COMMTIMEOUTS timeouts;       // on the line afterwards
  };
  const COMMTIMEOUTS polling = SerialLink::kPolling, slice = SerialLink::kSlice50;
  auto toSlice = [](SerialLink& l) { return l.setTimeouts(SerialLink::kSlice50); };
  const Case cases[] = {
      {"setBaudRate", Fault::kNone, false, [](SerialLink& l) { return l.setBaudRate(9600); }, true,
       "", 0, 9600, polling},
      {"setBaudRate, vanished", Fault::kVanish, false,
       [](SerialLink& l) { return l.setBaudRate(9600); }, false, "", ERROR_IO_DEVICE, 115200,
       polling},
      {"setTimeouts", Fault::kNone, false, toSlice, true, "", 0, 115200, slice},
      {"setTimeouts, vanished", Fault::kVanish, false, toSlice, false, "", ERROR_IO_DEVICE, 115200,
       polling},
      // The old handle is dead; a reopen reaches the device that came back,
      // with the start-up's settings.
      {"reopen after a replug", Fault::kVanish, true,
       [](SerialLink& l) { return !l.setBaudRate(9600) && l.reopen(); }, true, "", 0, 115200,
       polling},
      // Every step of a reopen prints its failure and the next one is tried.
      {"reopen, device gone", Fault::kVanish, false, [](SerialLink& l) { return l.reopen(); },
       false,
       "Failed to open COM7 :  The COM port selected don't exist!\n"
       "Failed to get port status : error 6  \nFailed to set port state : error 6\n"
       "Failed to set timeout : error 6\n",
       ERROR_INVALID_HANDLE, 115200, polling},
      {"reopenAt", Fault::kNone, false, [](SerialLink& l) { return l.reopenAt(9600); }, true, "", 0,
       9600, polling},
      {"reopenAt, device gone", Fault::kVanish, false,
       [](SerialLink& l) { return l.reopenAt(9600); }, false, "", ERROR_FILE_NOT_FOUND, 115200,
       polling},
  };
  for (const Case& c : cases) {
    FakeLine line;
    auto link = testsupport::openTestLink();
    ASSERT_TRUE(link);
    inject(line, c.fault);
    if (c.replugged) line.replug();
    testing::internal::CaptureStdout();
    const bool ok = c.call(*link);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed) << c.name;
    EXPECT_EQ(ok, c.ok) << c.name;
    EXPECT_EQ(link->lastError(), c.error) << c.name;
    EXPECT_EQ(line.baud(), c.baud) << c.name;
    EXPECT_TRUE(same(line.timeouts, c.timeouts)) << c.name;
    if (ok) {
      EXPECT_EQ(line.dcb.ByteSize, 8) << c.name;
      EXPECT_EQ(line.dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE)) << c.name;
      EXPECT_EQ(line.dcb.fOutX, 0u) << c.name;
      line.deliver("k");
      DWORD got = 0;
      unsigned char byte = 0;
      EXPECT_TRUE(link->read(&byte, 1, &got) && got == 1) << c.name << ": the link reads";
    }
  }
}

// The trace's lines have card-sim's log layout after the time column, so
// that the two logs of one exchange line up.
TEST(SerialLink, TraceLinesAreLaidOutAsCardSimLogs) {
  testsupport::ScratchDir scratch;
  std::string why;
  {
    TraceLog trace;
    ASSERT_TRUE(trace.open(scratch.file("trace.log"), &why)) << why;
    cardsim::ExchangeLog cardLog;
    ASSERT_TRUE(cardLog.open(scratch.file("card.log")));
    std::string frame(40, '\0');
    for (std::size_t k = 0; k < frame.size(); ++k) frame[k] = static_cast<char>(k * 7);
    const auto* bytes = reinterpret_cast<const uint8_t*>(frame.data());
    trace.bytes(true, bytes, frame.size(), 9600);
    cardLog.bytes(1.5, true, bytes, frame.size(), 9600);
    trace.bytes(false, bytes, 3, 115200);
    cardLog.bytes(2.5, false, bytes, 3, 115200);
    trace.note("command #DEVTYPE");
    cardLog.note(3.5, "command #DEVTYPE");
  }
  auto linesOf = [&](const char* name) {
    std::ifstream file(scratch.file(name));
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
  };
  const std::vector<std::string> traced = linesOf("trace.log"), card = linesOf("card.log");
  ASSERT_EQ(traced.size(), card.size() + 1);
  EXPECT_NE(traced[0].find("  # updater trace, started "), std::string::npos);
  for (std::size_t k = 0; k < card.size(); ++k) {
    EXPECT_EQ(traced[k + 1].substr(0, 10).find_first_not_of(" 0123456789."), std::string::npos)
        << traced[k + 1];
    EXPECT_EQ(traced[k + 1].substr(10), card[k].substr(10));
  }
}

// A trace replaces only an earlier trace: a file name typed by mistake
// must not cost an image.
TEST(SerialLink, TraceReplacesOnlyATrace) {
  testsupport::ScratchDir scratch;
  scratch.write("Device5.bin", "image bytes, not a trace");
  scratch.write("empty.log", "");
  {
    TraceLog earlier;
    std::string why;
    ASSERT_TRUE(earlier.open(scratch.file("old.log"), &why));
  }
  struct Case {
    const char* name;
    bool opens;
  };
  const Case cases[] = {
      {"new.log", true}, {"old.log", true}, {"empty.log", true},
      {"Device5.bin", false}, {"no-such-folder/t.log", false},
  };
  for (const Case& c : cases) {
    TraceLog trace;
    std::string why;
    EXPECT_EQ(trace.open(scratch.file(c.name), &why), c.opens) << c.name;
    EXPECT_EQ(why.empty(), c.opens) << c.name;
  }
  std::ifstream image(scratch.file("Device5.bin"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(image), {}), "image bytes, not a trace");
}

}  // namespace
