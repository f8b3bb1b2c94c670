// Ports behind a console server: the port names, the Telnet/RFC 2217 codec
// on what a server may send, and the network port on a scripted server and
// the virtual clock (open, rate changes, time-outs, a lost connection), and
// whole runs whose server goes away.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <optional>
#include <stdexcept>
#include <memory>
#include <string>
#include <vector>

#include "link/network_port.h"
#include "link/port_name.h"
#include "link/rfc2217.h"
#include "platform/posix_device.h"
#include "support/fake_line.h"
#include "support/scratch_dir.h"
#include "support/scripted_card.h"
#include "support/sim_peer.h"
#include "support/updater_run.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testsupport::FakeLine;
using namespace telnet;

// ---------------------------------------------------------------- names

TEST(PortName, FormsAndRefusals) {
  struct Row {
    const char* typed;
    PortKind kind;
    const char* text;
    const char* host;
    const char* port;
  };
  const Row rows[] = {
      {"COM7", PortKind::kComPort, "COM7", "", ""},
      {"com12", PortKind::kComPort, "COM12", "", ""},
      {"comfoo", PortKind::kComPort, "COMFOO", "", ""},  // the platform judges the rest
      {"rfc2217://rack1:4001", PortKind::kRfc2217, "rfc2217://rack1:4001", "rack1", "4001"},
      {"RFC2217://Rack1.example:4001", PortKind::kRfc2217, "rfc2217://Rack1.example:4001",
       "Rack1.example", "4001"},
      {"socket://10.0.0.7:23", PortKind::kRawTcp, "socket://10.0.0.7:23", "10.0.0.7", "23"},
      {"socket://[::1]:65535", PortKind::kRawTcp, "socket://[::1]:65535", "::1", "65535"},
      {"rfc2217://rack1", PortKind::kBadNetwork, "", "", ""},
      {"rfc2217://rack1:0", PortKind::kBadNetwork, "", "", ""},
      {"rfc2217://rack1:65536", PortKind::kBadNetwork, "", "", ""},
      {"rfc2217://rack1:40a", PortKind::kBadNetwork, "", "", ""},
      {"rfc2217://:4001", PortKind::kBadNetwork, "", "", ""},
      {"rfc2217://ra ck:4001", PortKind::kBadNetwork, "", "", ""},
      {"socket://[::1]", PortKind::kBadNetwork, "", "", ""},
      {"socket://[]:23", PortKind::kBadNetwork, "", "", ""},
      {"socket://::1:23", PortKind::kBadNetwork, "", "", ""},
      {"/dev/ttyUSB0", PortKind::kDevicePath, "/dev/ttyUSB0", "", ""},
      {"/dev/serial/by-id/usb-FTDI_X-if00", PortKind::kDevicePath,
       "/dev/serial/by-id/usb-FTDI_X-if00", "", ""},
      {"ttyUSB0", PortKind::kNotAPort, "TTYUSB0", "", ""},
      {"", PortKind::kNotAPort, "", "", ""},
      {"telnet://rack1:23", PortKind::kNotAPort, "TELNET://RACK1:23", "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.typed);
    const PortName name = parsePortName(row.typed);
    EXPECT_EQ(name.kind, row.kind);
    if (row.kind == PortKind::kBadNetwork) continue;
    EXPECT_EQ(name.text, row.text);
    EXPECT_EQ(name.host, row.host);
    EXPECT_EQ(name.port, row.port);
  }
}

TEST(PortName, AComNameMappedToANetworkFormIsThatPort) {
  setenv("UPDATER_PORT_COM41", "rfc2217://rack9:7001", 1);
  setenv("UPDATER_PORT_COM42", "/dev/pts/9", 1);
  EXPECT_EQ(resolvePortName("com41").kind, PortKind::kRfc2217);
  EXPECT_EQ(resolvePortName("com41").host, "rack9");
  EXPECT_EQ(resolvePortName("COM42").kind, PortKind::kComPort);  // the platform maps paths
  unsetenv("UPDATER_PORT_COM41");
  unsetenv("UPDATER_PORT_COM42");
}

// ---------------------------------------------------------------- codec

TEST(Telnet, CommandsTheClientSends) {
  Bytes out;
  const uint8_t data[] = {0x00, 0xFF, 0xFD, 0xFF, 0xFF};
  escapeData(data, sizeof data, &out);
  EXPECT_EQ(out, (Bytes{0x00, 0xFF, 0xFF, 0xFD, 0xFF, 0xFF, 0xFF, 0xFF}));

  out.clear();
  appendSetBaudRate(115200, &out);
  EXPECT_EQ(out, (Bytes{kIac, kSb, 44, 1, 0x00, 0x01, 0xC2, 0x00, kIac, kSe}));
  out.clear();
  appendSetBaudRate(0x0000FFFF, &out);  // a value byte 0xFF is doubled too
  EXPECT_EQ(out, (Bytes{kIac, kSb, 44, 1, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, kIac, kSe}));
  out.clear();
  appendComByte(kPurgeData, kPurgeReceiveBuffer, &out);
  EXPECT_EQ(out, (Bytes{kIac, kSb, 44, 12, 1, kIac, kSe}));

  ClientSession session;
  out.clear();
  session.start(&out);
  EXPECT_EQ(out, (Bytes{kIac, kWill, 0, kIac, kDo, 0, kIac, kWill, 3, kIac, kDo, 3, kIac, kWill,
                        44}));
}

// What the client makes of a server's bytes, after its own start: the data,
// its replies, and the state they leave.
TEST(Telnet, ServerBytes) {
  struct Row {
    const char* name;
    Bytes in;
    Bytes data;
    Bytes reply;
    bool ready;           // BINARY both ways and COM-PORT agreed
    bool refused;         // a needed option refused
    uint32_t baudAnswers;
    uint32_t baud;
    unsigned ignored;
  };
  const Bytes agree = {kIac, kDo, 0, kIac, kWill, 0, kIac, kDo, 44};
  auto with = [&](Bytes tail) {
    Bytes all = agree;
    all.insert(all.end(), tail.begin(), tail.end());
    return all;
  };
  const Row rows[] = {
      {"plain data", {'#', 'O', 'K', '\r'}, {'#', 'O', 'K', '\r'}, {}, false, false, 0, 0, 0},
      {"IAC IAC is one data byte 0xFF", {1, kIac, kIac, 0xFD, kIac, kIac}, {1, 0xFF, 0xFD, 0xFF},
       {}, false, false, 0, 0, 0},
      {"answers to the client's requests need no reply", agree, {}, {}, true, false, 0, 0, 0},
      {"a request already in force is not answered again", with({kIac, kDo, 0, kIac, kWill, 0}),
       {}, {}, true, false, 0, 0, 0},
      {"echo is refused both ways", {kIac, kWill, 1, kIac, kDo, 1}, {},
       {kIac, kDont, 1, kIac, kWont, 1}, false, false, 0, 0, 0},
      {"an unknown option is refused once per request", {kIac, kDo, 200, kIac, kDo, 200}, {},
       {kIac, kWont, 200, kIac, kWont, 200}, false, false, 0, 0, 0},
      {"COM-PORT refused", {kIac, kDont, 44}, {}, {}, false, true, 0, 0, 0},
      {"BINARY refused by the server for its side", {kIac, kWont, 0}, {}, {}, false, true, 0, 0, 0},
      {"an option refused, then asked for, then switched off",
       with({kIac, kDont, 3, kIac, kDo, 3, kIac, kDont, 3}), {}, {kIac, kWill, 3, kIac, kWont, 3},
       true, false, 0, 0, 0},
      {"the rate's answer, 0xFF in it doubled",
       with({kIac, kSb, 44, 101, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, kIac, kSe, 'x'}), {'x'}, {}, true,
       false, 1, 0xFFFF, 0},
      {"an answer of the wrong length is ignored",
       {kIac, kSb, 44, 101, 0x00, 0x25, 0x80, kIac, kSe}, {}, {}, false, false, 0, 0, 1},
      {"another option's subnegotiation is ignored", {kIac, kSb, 24, 1, kIac, kSe, 'a'}, {'a'}, {},
       false, false, 0, 0, 1},
      {"a client's own code from the server is ignored", {kIac, kSb, 44, 1, 0, 0, 0x25, 0x80,
                                                          kIac, kSe},
       {}, {}, false, false, 0, 0, 1},
      {"a subnegotiation cut by another command is dropped",
       {kIac, kSb, 44, 101, 0, 0, kIac, kWill, 1, 'b'}, {'b'}, {kIac, kDont, 1}, false, false, 0,
       0, 1},
      {"NOP, GA, DM and a stray SE carry nothing",
       {kIac, 241, 'c', kIac, 249, kIac, 242, kIac, kSe, 'd'}, {'c', 'd'}, {}, false, false, 0, 0,
       0},
      {"an empty subnegotiation is ignored", {kIac, kSb, kIac, kSe}, {}, {}, false, false, 0, 0, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // Whole, and a byte at a time: the state carries across calls.
    for (bool byByte : {false, true}) {
      ClientSession session;
      Bytes start;
      session.start(&start);
      Bytes data, reply;
      if (byByte) {
        for (uint8_t b : row.in) session.receive(&b, 1, &data, &reply);
      } else {
        session.receive(row.in.data(), row.in.size(), &data, &reply);
      }
      EXPECT_EQ(data, row.data);
      EXPECT_EQ(reply, row.reply);
      EXPECT_EQ(session.comPortReady(), row.ready);
      EXPECT_EQ(session.refusedNeededOption(), row.refused);
      EXPECT_EQ(session.answer(kSetBaudRate).count, row.baudAnswers);
      EXPECT_EQ(session.answer(kSetBaudRate).value, row.baud);
      EXPECT_EQ(session.ignoredSubnegotiations(), row.ignored);
    }
  }
}

TEST(Telnet, AnOverlongSubnegotiationIsDroppedAndDataGoesOn) {
  ClientSession session;
  Bytes in = {kIac, kSb, 44, 101};
  in.insert(in.end(), 500, 0x25);
  in.insert(in.end(), {kIac, kIac, kIac, kSe, 'z'});
  Bytes data, reply;
  session.receive(in.data(), in.size(), &data, &reply);
  EXPECT_EQ(data, Bytes{'z'});
  EXPECT_EQ(session.answer(kSetBaudRate).count, 0u);
  EXPECT_EQ(session.ignoredSubnegotiations(), 1u);
}

// ---------------------------------------------------------------- port

// A console server on the virtual clock.  Over RFC 2217 it agrees to every
// option the client asks for and answers each COM-PORT command after
// `answerMs` with the value asked for (or `keptBaud`), except those in
// `unanswered`; every data byte is echoed unless `echo` is off.
class ScriptedServer : public platform::TcpConnection {
 public:
  struct Script {
    bool telnet = true;
    uint64_t answerMs = 20;
    std::vector<uint8_t> unanswered = {kSetControl};
    uint32_t keptBaud = 0;
    bool refuseComPort = false;
    bool echo = true;
    std::size_t sendLimit = 0;  // bytes one send takes at most (0: all)
  };
  ScriptedServer(FakeLine& line, Script script, Bytes* received, bool* closed)
      : line_(line), script_(script), received_(received), closed_(closed) {}

  Io receive(void* buffer, std::size_t capacity, std::size_t* got, uint32_t timeoutMs) override {
    *got = 0;
    const uint64_t end = line_.now() + timeoutMs;
    if (pending_.empty() || pending_.front().at > end) {
      line_.advanceTo(end);
      if (*closed_) {
        errorCode_ = platform::kErrorConnectionReset;
        errorText_ = "connection closed by the server";
        return Io::kClosed;
      }
      return Io::kTimeout;
    }
    line_.advanceTo(std::max(line_.now(), pending_.front().at));
    auto* out = static_cast<uint8_t*>(buffer);
    while (!pending_.empty() && pending_.front().at <= line_.now() && *got < capacity) {
      out[(*got)++] = pending_.front().byte;
      pending_.pop_front();
    }
    return Io::kOk;
  }

  Io send(const void* data, std::size_t count, std::size_t* sent, uint32_t) override {
    *sent = 0;
    if (*closed_) {
      errorCode_ = platform::kErrorConnectionReset;
      errorText_ = "connection reset";
      return Io::kFailed;
    }
    const std::size_t n = script_.sendLimit ? std::min(count, script_.sendLimit) : count;
    const auto* bytes = static_cast<const uint8_t*>(data);
    received_->insert(received_->end(), bytes, bytes + n);
    sends.push_back(n);
    for (std::size_t i = 0; i < n; ++i) take(bytes[i]);
    *sent = n;
    return Io::kOk;
  }

  void limitSends(std::size_t bytes) { script_.sendLimit = bytes; }
  std::vector<std::size_t> sends;  // the size of every segment taken

  void deliver(const Bytes& bytes, uint64_t delay) {
    for (uint8_t b : bytes) pending_.push_back({line_.now() + delay, b});
  }

 private:
  struct Timed {
    uint64_t at;
    uint8_t byte;
  };
  // The server's side of the stream, just enough of it: negotiation, COM
  // commands and data.
  void take(uint8_t b) {
    if (!script_.telnet) {
      if (script_.echo) deliver({b}, 0);
      return;
    }
    if (inSub_) {
      if (afterIac_) {
        afterIac_ = false;
        if (b == kSe) {
          inSub_ = false;
          answer();
          return;
        }
      } else if (b == kIac) {
        afterIac_ = true;
        return;
      }
      sub_.push_back(b);
      return;
    }
    if (verb_ != 0) {
      const uint8_t verb = verb_;
      verb_ = 0;
      if (b == 44 && verb == kWill)
        deliver({kIac, script_.refuseComPort ? kDont : kDo, b}, 1);
      else if (verb == kWill)
        deliver({kIac, kDo, b}, 1);
      else if (verb == kDo)
        deliver({kIac, kWill, b}, 1);
      return;
    }
    if (afterIac_) {
      afterIac_ = false;
      if (b == kIac) {
        if (script_.echo) deliver({kIac, kIac}, 0);
      } else if (b == kSb) {
        inSub_ = true;
        sub_.clear();
      } else if (b >= kWill) {
        verb_ = b;
      }
      return;
    }
    if (b == kIac) {
      afterIac_ = true;
      return;
    }
    if (script_.echo) deliver({b}, 0);
  }
  void answer() {
    if (sub_.size() < 2 || sub_[0] != 44) return;
    for (uint8_t c : script_.unanswered)
      if (c == sub_[1]) return;
    Bytes out = {kIac, kSb, 44, static_cast<uint8_t>(sub_[1] + kServerOffset)};
    Bytes value(sub_.begin() + 2, sub_.end());
    if (sub_[1] == kSetBaudRate && script_.keptBaud != 0) {
      value.clear();
      appendSetBaudRate(script_.keptBaud, &value);
      value = Bytes(value.begin() + 4, value.end() - 2);
    }
    escapeData(value.data(), value.size(), &out);
    out.insert(out.end(), {kIac, kSe});
    deliver(out, script_.answerMs);
  }

  FakeLine& line_;
  Script script_;
  Bytes* received_;
  bool* closed_;
  std::deque<Timed> pending_;
  bool afterIac_ = false;
  bool inSub_ = false;
  uint8_t verb_ = 0;
  Bytes sub_;
};

struct Rig {
  explicit Rig(ScriptedServer::Script script = {}, const char* name = "rfc2217://rack1:4001")
      : port(parsePortName(name),
             [this, script](const std::string&, const std::string&, uint32_t, uint32_t*,
                            std::string*) {
               auto s = std::make_unique<ScriptedServer>(line, script, &received, &closed);
               server = s.get();
               return s;
             }) {}
  FakeLine line;
  Bytes received;
  bool closed = false;
  ScriptedServer* server = nullptr;
  NetworkPort port;
};

bool contains(const Bytes& haystack, const Bytes& needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
         haystack.end();
}

TEST(NetworkPort, OpenSetsTheLineAndWaitsOnlyForTheRate) {
  Rig rig;  // answers everything but SET-CONTROL, as ser2net on a pty
  ASSERT_TRUE(rig.port.open(115200)) << rig.port.failure();
  EXPECT_EQ(rig.line.now(), 20u);  // the rate's answer, nothing more
  for (const Bytes& setting :
       {Bytes{kIac, kSb, 44, kSetDataSize, 8, kIac, kSe}, Bytes{kIac, kSb, 44, kSetParity, 1, kIac, kSe},
        Bytes{kIac, kSb, 44, kSetStopSize, 1, kIac, kSe},
        Bytes{kIac, kSb, 44, kSetControl, 1, kIac, kSe},
        Bytes{kIac, kSb, 44, kSetBaudRate, 0, 1, 0xC2, 0, kIac, kSe}})
    EXPECT_TRUE(contains(rig.received, setting));
}

TEST(NetworkPort, OpenFailures) {
  struct Row {
    const char* name;
    ScriptedServer::Script script;
    uint64_t elapsed;
    const char* failure;
  };
  ScriptedServer::Script silent;
  silent.unanswered = {kSetBaudRate, kSetControl};
  ScriptedServer::Script kept;
  kept.keptBaud = 9600;
  ScriptedServer::Script refusing;
  refusing.refuseComPort = true;
  ScriptedServer::Script raw;
  raw.telnet = false;
  raw.echo = false;  // a raw port in front of a card that waits to be asked
  const Row rows[] = {
      {"a server that never answers the rate", silent, NetworkPort::kAnswerMs,
       "did not answer a line setting within 3 s"},
      {"a server that keeps another rate", kept, 20, "kept the bit rate at 9600"},
      {"a server without RFC 2217", refusing, 1, "refused the COM port option"},
      {"a raw TCP server (no Telnet at all)", raw, NetworkPort::kAnswerMs,
       "did not answer a line setting"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Rig rig(row.script);
    EXPECT_FALSE(rig.port.open(115200));
    EXPECT_EQ(rig.line.now(), row.elapsed);
    EXPECT_NE(rig.port.failure().find(row.failure), std::string::npos) << rig.port.failure();
  }
}

TEST(NetworkPort, AConnectThatFailsNamesTheHostAndTheReason) {
  FakeLine line;
  NetworkPort port(parsePortName("rfc2217://rack1:4001"),
                   [](const std::string&, const std::string&, uint32_t timeoutMs, uint32_t* code,
                      std::string* reason) {
                     EXPECT_EQ(timeoutMs, 5000u);
                     *code = platform::kErrorConnectionRefused;
                     *reason = "connection refused";
                     return std::unique_ptr<platform::TcpConnection>();
                   });
  EXPECT_FALSE(port.open(115200));
  EXPECT_EQ(port.failure(), "cannot connect to rack1 port 4001: connection refused");
  EXPECT_EQ(port.errorCode(), platform::kErrorConnectionRefused);
  EXPECT_EQ(GetLastError(), platform::kErrorConnectionRefused);
}

TEST(NetworkPort, ARateChangeIsInForceBeforeTheNextByte) {
  ScriptedServer::Script slow;
  slow.answerMs = 400;
  Rig rig(slow);
  ASSERT_TRUE(rig.port.open(115200));
  const uint64_t before = rig.line.now();
  ASSERT_TRUE(rig.port.setBaudRate(9600));
  EXPECT_EQ(rig.line.now() - before, 400u);
  EXPECT_EQ(rig.port.baudRate(), 9600u);
  EXPECT_TRUE(rig.port.setBaudRate(9600));  // no change, no request
  EXPECT_EQ(rig.line.now() - before, 400u);
}

TEST(NetworkPort, BytesNobodyReadsAreKeptUpToALimitNewestFirst) {
  ScriptedServer::Script slow;
  slow.answerMs = 400;
  Rig rig(slow);
  ASSERT_TRUE(rig.port.open(115200));
  Bytes flood(100000);
  for (std::size_t i = 0; i < flood.size(); ++i) flood[i] = static_cast<uint8_t>(i % 251);
  rig.server->deliver(flood, 1);  // the card talks during the rate change
  ASSERT_TRUE(rig.port.setBaudRate(9600));
  rig.port.setTimeouts({MAXDWORD, 0, 0, 0, 0});
  Bytes kept;
  uint8_t buffer[1000];
  DWORD got = 0;
  do {
    ASSERT_TRUE(rig.port.read(buffer, sizeof buffer, &got));
    kept.insert(kept.end(), buffer, buffer + got);
  } while (got > 0);
  EXPECT_EQ(kept.size(), 64u * 1024u);
  EXPECT_EQ(kept, Bytes(flood.end() - 64 * 1024, flood.end()));
}

TEST(NetworkPort, DataFullOfIacTravelsBothWaysUnchanged) {
  for (const char* name : {"rfc2217://rack1:4001", "socket://rack1:4001"}) {
    SCOPED_TRACE(name);
    ScriptedServer::Script script;
    script.telnet = parsePortName(name).kind == PortKind::kRfc2217;
    Rig rig(script, name);
    ASSERT_TRUE(rig.port.open(115200));
    const COMMTIMEOUTS slice = {0, 0, 50, 0, 50};
    rig.port.setTimeouts(slice);
    const uint8_t data[] = {0xFF, 0xFD, 0xFF, 0xFF, 0x0D, 0xFB};
    rig.received.clear();
    DWORD put = 0;
    ASSERT_TRUE(rig.port.write(data, sizeof data, &put));
    EXPECT_EQ(put, sizeof data);
    uint8_t back[16] = {};
    DWORD got = 0;
    ASSERT_TRUE(rig.port.read(back, sizeof back, &got));
    EXPECT_EQ(Bytes(back, back + got), Bytes(data, data + sizeof data));
  }
}

TEST(NetworkPort, ReadsFollowTheTimeoutProfiles) {
  struct Row {
    COMMTIMEOUTS timeouts;
    DWORD count;
    uint64_t elapsed;
  };
  const Row rows[] = {
      {{MAXDWORD, MAXDWORD, 1, 100, 0}, 10, 1},  // polling: 1 ms for the first byte
      {{0, 0, 50, 0, 50}, 10, 50},               // a 50 ms slice
      {{MAXDWORD, 0, 0, 0, 0}, 10, 0},           // at once
      {{0, 10, 5, 0, 0}, 3, 35},                 // multiplier x count + constant
  };
  for (const Row& row : rows) {
    Rig rig;
    ASSERT_TRUE(rig.port.open(115200));
    rig.port.setTimeouts(row.timeouts);
    const uint64_t start = rig.line.now();
    uint8_t buffer[16];
    DWORD got = 99;
    EXPECT_TRUE(rig.port.read(buffer, row.count, &got));
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(rig.line.now() - start, row.elapsed);
  }
}

TEST(NetworkPort, AWriteCutInsideAnIacPairSendsTheRestFirst) {
  ScriptedServer::Script quiet;
  quiet.echo = false;
  Rig rig(quiet);
  ASSERT_TRUE(rig.port.open(115200));
  rig.server->limitSends(3);
  rig.port.setTimeouts({MAXDWORD, MAXDWORD, 1, 100, 0});
  rig.received.clear();
  const uint8_t data[] = {'a', 'b', 0xFF, 'c'};
  DWORD put = 0;
  ASSERT_TRUE(rig.port.write(data, sizeof data, &put));
  EXPECT_EQ(put, 3u);  // a b IAC went; the second IAC waits
  ASSERT_TRUE(rig.port.write(data + put, sizeof data - put, &put));
  EXPECT_EQ(put, 1u);
  EXPECT_EQ(rig.received, (Bytes{'a', 'b', 0xFF, 0xFF, 'c'}));

  // Nor does a read's wait or a purge come between the two halves.
  const uint8_t iac = 0xFF;
  uint8_t buffer[4];
  DWORD got = 0;
  for (const bool purge : {false, true}) {
    SCOPED_TRACE(purge ? "purge" : "read");
    rig.server->limitSends(1);
    rig.received.clear();
    ASSERT_TRUE(rig.port.write(&iac, 1, &put));
    EXPECT_EQ(rig.received, Bytes{0xFF});
    rig.server->limitSends(0);
    if (purge)
      rig.port.purgeInput();
    else
      ASSERT_TRUE(rig.port.read(buffer, sizeof buffer, &got));
    // The pair whole, then (for a purge) the IAC that opens the command.
    const Bytes expected = purge ? Bytes{0xFF, 0xFF, kIac} : Bytes{0xFF, 0xFF};
    ASSERT_GE(rig.received.size(), expected.size());
    EXPECT_EQ(Bytes(rig.received.begin(), rig.received.begin() + expected.size()), expected);
  }
}

// Bytes written one call each inside holdWrites()/sendHeld(): the first
// goes at once, the rest in segments of kHeldSegment, and all of them, in
// order, when the gathering ends (a read sends them too: the test above).
TEST(NetworkPort, HeldWritesGoInSegments) {
  for (const char* name : {"rfc2217://rack1:4001", "socket://rack1:4001"}) {
    SCOPED_TRACE(name);
    ScriptedServer::Script quiet;
    quiet.echo = false;
    quiet.telnet = parsePortName(name).kind == PortKind::kRfc2217;
    Rig rig(quiet, name);
    ASSERT_TRUE(rig.port.open(115200));
    rig.port.setTimeouts({MAXDWORD, 0, 0, 0, 0});
    rig.received.clear();
    rig.server->sends.clear();
    Bytes data, wire;
    for (int i = 0; i < 40; ++i) data.push_back(i % 3 == 0 ? 0xFF : static_cast<uint8_t>(i));
    if (quiet.telnet)
      escapeData(data.data(), data.size(), &wire);
    else
      wire = data;
    const std::size_t firstOnWire = quiet.telnet ? 2 : 1;  // 0xFF, doubled over Telnet
    rig.port.holdWrites();
    for (std::size_t i = 0; i < data.size(); ++i) {
      DWORD put = 0;
      ASSERT_TRUE(rig.port.write(&data[i], 1, &put));
      EXPECT_EQ(put, 1u);
      if (i == 0) {
        EXPECT_EQ(rig.received, Bytes(wire.begin(), wire.begin() + firstOnWire));
      }
    }
    EXPECT_LT(rig.received.size(), wire.size());  // the tail is gathered
    ASSERT_TRUE(rig.port.sendHeld());
    EXPECT_EQ(rig.received, wire);
    ASSERT_GE(rig.server->sends.size(), 2u);
    for (std::size_t k = 1; k + 1 < rig.server->sends.size(); ++k)
      EXPECT_GE(rig.server->sends[k], NetworkPort::kHeldSegment);
    // Afterwards every write goes at once again.
    DWORD put = 0;
    ASSERT_TRUE(rig.port.write("z", 1, &put));
    EXPECT_EQ(rig.received.back(), 'z');
  }
}

TEST(NetworkPort, ALostConnectionFailsThisCallAndEveryLaterOne) {
  Rig rig;
  ASSERT_TRUE(rig.port.open(115200));
  rig.port.setTimeouts({0, 0, 50, 0, 50});
  rig.closed = true;
  uint8_t buffer[4];
  DWORD got = 0;
  EXPECT_FALSE(rig.port.read(buffer, sizeof buffer, &got));
  EXPECT_TRUE(rig.port.lost());
  EXPECT_EQ(GetLastError(), platform::kErrorConnectionReset);
  EXPECT_EQ(rig.port.failure(), "the connection to rack1 port 4001 was lost: "
                                "connection closed by the server");
  const uint64_t at = rig.line.now();
  DWORD put = 0;
  EXPECT_FALSE(rig.port.write("x", 1, &put));
  EXPECT_FALSE(rig.port.read(buffer, sizeof buffer, &got));
  EXPECT_FALSE(rig.port.setBaudRate(9600));
  rig.port.holdWrites();
  EXPECT_FALSE(rig.port.write("x", 1, &put));
  EXPECT_FALSE(rig.port.sendHeld());
  EXPECT_EQ(rig.line.now(), at);  // at once
}

TEST(NetworkPort, RawTcpRefusesARateChange) {
  ScriptedServer::Script raw;
  raw.telnet = false;
  Rig rig(raw, "socket://rack1:4001");
  ASSERT_TRUE(rig.port.open(115200));
  EXPECT_TRUE(rig.received.empty());  // nothing is sent at open
  EXPECT_FALSE(rig.port.setBaudRate(9600));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(rig.received.empty());
}

// ---------------------------------------------------------------- runs

// A raw TCP console server in front of the fake line's card, which goes
// away (closes or resets the connection) once the updater has sent
// `closeAfter` bytes.
class ServerOnTheLine : public FakeLine {
 public:
  ServerOnTheLine(std::size_t closeAfter, platform::TcpConnection::Io ending, const char* reason)
      : closeAfter_(closeAfter), ending_(ending), reason_(reason) {
    dcb.BaudRate = 115200;  // the server's port, set by its own configuration
  }
  bool connectTcp(const std::string&, const std::string&, uint32_t,
                  std::unique_ptr<platform::TcpConnection>* connection, uint32_t*,
                  std::string*) override {
    // An updater that dials again would repeat the identification of a
    // silent card for ever: end the test instead.
    if (++connects > 5) throw std::runtime_error("the server was dialled again and again");
    *connection = std::make_unique<Connection>(*this);
    return true;
  }
  int connects = 0;
  std::optional<uint64_t> goneAt;

 private:
  class Connection : public platform::TcpConnection {
   public:
    explicit Connection(ServerOnTheLine& server) : server_(server) {}
    Io receive(void* buffer, std::size_t capacity, std::size_t* got, uint32_t timeoutMs) override {
      *got = 0;
      const uint64_t end = server_.now() + timeoutMs;
      while (server_.available() == 0 && !server_.goneAt) {
        const std::optional<uint64_t> next = server_.nextActivity();
        if (!next || *next > end) {
          server_.advanceTo(end);
          return Io::kTimeout;
        }
        server_.advanceTo(std::max(*next, server_.now()));
      }
      if (server_.goneAt) return ended();
      *got = server_.take(static_cast<uint8_t*>(buffer), capacity);
      return Io::kOk;
    }
    Io send(const void* data, std::size_t count, std::size_t* sent, uint32_t) override {
      *sent = 0;
      if (server_.goneAt) return ended();
      server_.write(static_cast<const uint8_t*>(data), count);
      *sent = count;
      if (server_.written.size() >= server_.closeAfter_) server_.goneAt = server_.now();
      return Io::kOk;
    }

   private:
    Io ended() {
      errorCode_ = platform::kErrorConnectionReset;
      errorText_ = server_.reason_;
      return server_.ending_;
    }
    ServerOnTheLine& server_;
  };
  std::size_t closeAfter_;
  platform::TcpConnection::Io ending_;
  const char* reason_;
};

// A server that goes away is a vanished port wherever the run stands: the
// updater says so once, does not dial the server again, and ends with exit
// 1 within 15 s.  The identification of a silent card would otherwise
// repeat until the operator gave up.
TEST(NetworkRun, AServerThatGoesAwayEndsTheRun) {
  using Io = platform::TcpConnection::Io;
  struct Row {
    const char* stage;
    std::vector<std::string> card;  // card-sim options
    std::size_t closeAfter;         // bytes the updater sends before the server goes
    Io ending;
    const char* reason;
  };
  const Row rows[] = {
      {"the start-up's probe, closed", {"--model", "HDMITOSDI"}, 1, Io::kClosed,
       "connection closed by the server"},
      {"identification of a silent card, closed", {"--silent"}, 5, Io::kClosed,
       "connection closed by the server"},
      {"identification of a silent card, reset", {"--silent"}, 30, Io::kFailed,
       "connection reset by peer"},
      {"STATUS, closed", {"--model", "HDMITOSDI"}, 40, Io::kClosed,
       "connection closed by the server"},
      {"STATUS, reset", {"--model", "HDMITOSDI"}, 60, Io::kFailed, "connection reset by peer"},
  };
  for (const Row& row : rows) {
    testsupport::ScratchDir scratch;
    testsupport::ScopedWorkingDir inScratch(scratch.path());
    ServerOnTheLine line(row.closeAfter, row.ending, row.reason);
    testsupport::SimPeer card(line, row.card, scratch.path() + "/card");
    line.setPeer(&card);
    std::string out;
    const int status = testsupport::runUpdaterCapturing({"socket://rack1:4001", "STATUS"}, &out);
    line.setPeer(nullptr);
    EXPECT_EQ(status, 1) << row.stage << ": " << out;
    ASSERT_TRUE(line.goneAt.has_value()) << row.stage;
    EXPECT_LT(line.now() - *line.goneAt, 15000u) << row.stage;
    EXPECT_EQ(line.connects, 1) << row.stage;
    const std::string lost =
        std::string("\nthe connection to rack1 port 4001 was lost: ") + row.reason + "\n";
    EXPECT_EQ(testsupport::count(out, lost), 1u) << row.stage << ": " << out;
    EXPECT_EQ(out.find("Failed to open"), std::string::npos) << row.stage;
    EXPECT_EQ(out.substr(out.size() - 14), "\nExit updater\n") << row.stage;
  }
}

}  // namespace
