#include "line_pacer.h"

#include <algorithm>

namespace cardsim {
namespace {

constexpr Ns kTenBitsNs = 10'000'000'000ull;  // ten bit times at 1 bit/s

// Time of one byte on the wire; 0 when the rate is unknown.
Ns byteNs(uint32_t baud) { return baud == 0 ? 0 : kTenBitsNs / baud; }

}  // namespace

void LinePacer::Direction::put(Ns now, const uint8_t* data, std::size_t n, uint32_t baud,
                               bool paced) {
  const Ns start = std::max(now, lineFree);
  for (std::size_t k = 0; k < n; ++k) {
    // From the start of the run, so that rounding does not add up.
    Ns at = paced && baud != 0 ? start + (k + 1) * kTenBitsNs / baud : start;
    inFlight.push_back(Byte{at, data[k], baud});
  }
  if (n > 0) lineFree = inFlight.back().at;
}

std::optional<Ns> LinePacer::Direction::groupDue() const {
  if (inFlight.empty()) return std::nullopt;
  std::size_t last = 0;
  while (last + 1 < inFlight.size() && last + 1 < kGroupBytes) {
    const Byte& next = inFlight[last + 1];
    if (next.baud != inFlight[last].baud || next.at > inFlight[last].at + byteNs(next.baud) + 1)
      break;  // a gap on the line: the run ends here
    ++last;
  }
  return inFlight[last].at;
}

std::vector<Crossed> LinePacer::Direction::take(Ns now) {
  std::vector<Crossed> out;
  for (std::optional<Ns> due = groupDue(); due && *due <= now; due = groupDue()) {
    while (!inFlight.empty() && inFlight.front().at <= *due) {
      const Byte b = inFlight.front();
      inFlight.pop_front();
      if (out.empty() || out.back().baud != b.baud) out.push_back(Crossed{{}, b.baud, b.at});
      out.back().bytes.push_back(b.value);
      out.back().at = b.at;
    }
  }
  return out;
}

void LinePacer::fromUpdater(Ns now, const uint8_t* data, std::size_t n, uint32_t baud) {
  toCard_.put(now, data, n, baud, settings_.lineRate);
}

void LinePacer::fromCard(Ns now, const uint8_t* data, std::size_t n, uint32_t baud) {
  toUpdater_.put(now, data, n, baud, settings_.lineRate);
}

std::optional<Ns> LinePacer::packetDue() const {
  std::size_t size = packet_.size();
  Ns quietAt = packetQuietAt_;
  uint32_t baud = packetBaud_;
  for (const Byte& b : toUpdater_.inFlight) {
    if (size > 0 && b.at > quietAt) return quietAt;
    if (size > 0 && b.baud != baud) return b.at;
    ++size;
    quietAt = b.at + settings_.latency;
    baud = b.baud;
    if (size == kPacketBytes) return b.at;
  }
  if (size > 0) return quietAt;
  return std::nullopt;
}

std::optional<Ns> LinePacer::nextDue() const {
  std::optional<Ns> card = toCard_.groupDue();
  std::optional<Ns> updater = settings_.latency != 0 ? packetDue() : toUpdater_.groupDue();
  if (card && updater) return std::min(*card, *updater);
  return card ? card : updater;
}

std::vector<Crossed> LinePacer::toCard(Ns now) { return toCard_.take(now); }

std::vector<Crossed> LinePacer::toUpdater(Ns now) {
  if (settings_.latency == 0) return toUpdater_.take(now);
  std::vector<Crossed> out;
  auto send = [&](Ns at) {
    out.push_back(Crossed{std::move(packet_), packetBaud_, at});
    packet_.clear();
  };
  std::deque<Byte>& line = toUpdater_.inFlight;
  while (!line.empty() && line.front().at <= now) {
    const Byte b = line.front();
    if (!packet_.empty() && b.at > packetQuietAt_) send(packetQuietAt_);
    if (!packet_.empty() && b.baud != packetBaud_) send(b.at);
    line.pop_front();
    packet_.push_back(b.value);
    packetBaud_ = b.baud;
    packetQuietAt_ = b.at + settings_.latency;
    if (packet_.size() == kPacketBytes) send(b.at);
  }
  if (!packet_.empty() && packetQuietAt_ <= now) send(packetQuietAt_);
  return out;
}

}  // namespace cardsim
