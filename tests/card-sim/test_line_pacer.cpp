// card-sim's line timing on a virtual clock: when bytes written at a given
// time cross a paced line, with and without a USB adapter's latency timer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "line_pacer.h"

namespace {

using cardsim::Crossed;
using cardsim::LinePacer;
using cardsim::Ns;
using cardsim::PacerSettings;

constexpr Ns kUs = 1000;
constexpr Ns kMs = 1000000;
// Time n bytes take on the wire at 8N1: ten bits each.
constexpr Ns wire(Ns n, Ns baud = 115200) { return n * 10'000'000'000ull / baud; }

struct Put {
  Ns at;
  bool fromCard;
  std::size_t n;
  uint32_t baud;
};

// What came out: direction, the time it was handed on, how many bytes.
struct Out {
  bool toUpdater;
  Ns at;
  std::size_t n;
  bool operator==(const Out& o) const {
    return toUpdater == o.toUpdater && at == o.at && n == o.n;
  }
};

std::ostream& operator<<(std::ostream& os, const Out& o) {
  return os << (o.toUpdater ? "to updater " : "to card ") << o.n << " bytes at " << o.at << " ns";
}

// Feeds the puts at their times and collects every release, waking only
// when nextDue says so: the way the pty loop drives the pacer.
std::vector<Out> run(PacerSettings settings, const std::vector<Put>& puts) {
  LinePacer pacer(settings);
  std::vector<Out> out;
  std::size_t next = 0;
  std::vector<uint8_t> bytes(200, 0x55);
  for (int guard = 0; guard < 1000; ++guard) {
    std::optional<Ns> due = pacer.nextDue();
    if (next < puts.size() && (!due || puts[next].at <= *due)) {
      const Put& p = puts[next++];
      if (p.fromCard)
        pacer.fromCard(p.at, bytes.data(), p.n, p.baud);
      else
        pacer.fromUpdater(p.at, bytes.data(), p.n, p.baud);
      continue;
    }
    if (!due) break;
    if (*due > 0) {
      EXPECT_TRUE(pacer.toCard(*due - 1).empty() && pacer.toUpdater(*due - 1).empty())
          << "released before its due time " << *due;
    }
    for (const Crossed& c : pacer.toCard(*due)) out.push_back({false, *due, c.bytes.size()});
    for (const Crossed& c : pacer.toUpdater(*due)) out.push_back({true, *due, c.bytes.size()});
  }
  return out;
}

struct Case {
  const char* name;
  PacerSettings settings;
  std::vector<Put> puts;
  std::vector<Out> expected;
};

TEST(LinePacer, ReleasesBytesWhenTheLineHasCarriedThem) {
  const PacerSettings off{false, 0}, rate{true, 0}, latency{false, 16 * kMs}, both{true, 16 * kMs};
  const Case cases[] = {
      {"neither: every byte at once", off, {{5 * kMs, false, 11, 115200}, {5 * kMs, true, 3, 115200}},
       {{false, 5 * kMs, 11}, {true, 5 * kMs, 3}}},
      {"a request at 115200: its last stop bit", rate, {{0, false, 11, 115200}},
       {{false, wire(11), 11}}},
      {"a byte at 9600 takes twelve times as long", rate, {{0, true, 1, 9600}},
       {{true, wire(1, 9600), 1}}},
      {"a write while the line is busy queues behind it", rate,
       {{0, false, 4, 115200}, {100 * kUs, false, 4, 115200}},
       {{false, wire(8), 8}}},
      {"a pause on the line splits the runs", rate,
       {{0, false, 2, 115200}, {1 * kMs, false, 2, 115200}},
       {{false, wire(2), 2}, {false, 1 * kMs + wire(2), 2}}},
      {"a long burst goes on in groups of 32", rate, {{0, true, 40, 115200}},
       {{true, wire(32), 32}, {true, wire(40), 8}}},
      {"both ways at once: each direction is its own wire", rate,
       {{0, false, 3, 115200}, {0, true, 5, 115200}},
       {{false, wire(3), 3}, {true, wire(5), 5}}},
      {"adapter: a short answer waits one latency period", latency, {{0, true, 7, 115200}},
       {{true, 16 * kMs, 7}}},
      {"adapter: the updater's bytes are not held", latency, {{0, false, 7, 115200}},
       {{false, 0, 7}}},
      {"adapter: a byte before the period ends restarts it", latency,
       {{0, true, 1, 115200}, {10 * kMs, true, 1, 115200}},
       {{true, 26 * kMs, 2}}},
      {"adapter: a full packet goes at once", latency, {{0, true, 100, 115200}},
       {{true, 0, 62}, {true, 16 * kMs, 38}}},
      {"paced line and adapter: answer time plus the period", both, {{0, true, 10, 115200}},
       {{true, wire(10) + 16 * kMs, 10}}},
      {"paced line and adapter: a packet fills at its 62nd byte", both, {{0, true, 70, 115200}},
       {{true, wire(62), 62}, {true, wire(70) + 16 * kMs, 8}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(run(c.settings, c.puts), c.expected);
  }
}

TEST(LinePacer, KeepsTheRateOfEachByte) {
  // The boot program acknowledges the rate change at the old rate; the
  // updater's next byte goes at the new one.
  LinePacer pacer(PacerSettings{true, 0});
  const uint8_t ack = 0x06;
  pacer.fromCard(0, &ack, 1, 9600);
  pacer.fromUpdater(0, &ack, 1, 115200);
  std::vector<Crossed> toUpdater = pacer.toUpdater(10 * kMs);
  std::vector<Crossed> toCard = pacer.toCard(10 * kMs);
  ASSERT_EQ(toUpdater.size(), 1u);
  ASSERT_EQ(toCard.size(), 1u);
  EXPECT_EQ(toUpdater[0].baud, 9600u);
  EXPECT_EQ(toCard[0].baud, 115200u);
  EXPECT_EQ(toUpdater[0].at, wire(1, 9600));
  EXPECT_FALSE(pacer.nextDue());
}

}  // namespace
