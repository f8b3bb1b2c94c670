#include "components/edid.h"

namespace cardsim {
namespace {

// Without a byte from the updater for this long the upload is given up.
constexpr Ms kIdleMs = 10000;
// A slow answer comes after the updater's 5 s wait for it.
constexpr Ms kSlowMs = 6000;

// Acknowledges each image byte, then judges the checksum byte.
class EdidSession : public Session {
 public:
  EdidSession(CardContext& card, int blocks, Wire& w)
      : card_(card), expected_(static_cast<std::size_t>(blocks) * 128), lastActivity_(w.now()) {
    stray_ = card.options.get("edid-stray");
    verdict_ = card.options.get("edid-verdict");
    silentAfter_ = card.options.getInt("edid-silent-after", -1);
  }

  void onByte(uint8_t b, Wire& w) override {
    if (done_) return;
    lastActivity_ = w.now();
    ++bytes_;
    const bool silent = silentAfter_ >= 0 && bytes_ > silentAfter_;
    FaultSchedule& faults = card_.faults(channelFaultFamily());
    if (image_.size() < expected_) {
      image_.push_back(b);
      if (silent) return;
      const Fault* f = faults.next(
          Exchange{"edid-byte", static_cast<long>(image_.size()) - 1, static_cast<long>(expected_)}, w);
      if (sendSpoiled(f, bytesOf(stray_ + "."), {b}, 0, kSlowMs, w) == Spoiled::Refused) {
        w.sendByte('~');
        w.sendByte('E');
        w.note("EDID upload refused at byte " + std::to_string(image_.size()));
        done_ = true;
      }
      return;
    }
    uint8_t sum = 0;
    for (uint8_t x : image_) sum = static_cast<uint8_t>(sum + x);
    char verdict = sum == b ? 'S' : 'E';
    w.note(std::string("EDID checksum ") + (sum == b ? "matches" : "does not match"));
    if (!verdict_.empty()) verdict = verdict_[0];
    done_ = true;
    if (silent) {
      w.note("EDID upload: no verdict (silent)");
      return;
    }
    const Fault* f = faults.next(Exchange{"edid-verdict"}, w);
    const std::string answer = stray_ + "~" + stray_ + std::string(1, verdict);
    if (sendSpoiled(f, bytesOf(answer), {b}, 0, kSlowMs, w) == Spoiled::Refused) {
      verdict = 'E';
      w.send("~E");
    }
    if (verdict == 'S') {
      card_.state.save("edid.bin", image_);
      w.note("EDID of " + std::to_string(image_.size()) + " bytes stored");
    } else {
      w.note(std::string("EDID refused, verdict ") + verdict);
    }
  }

  std::optional<Ms> timer() const override {
    if (done_) return std::nullopt;
    return lastActivity_ + kIdleMs;
  }
  void onTimer(Wire& w) override {
    w.note("EDID upload abandoned after " + std::to_string(bytes_) + " bytes");
    done_ = true;
  }
  bool finished() const override { return done_; }

 private:
  CardContext& card_;
  std::size_t expected_;
  std::vector<uint8_t> image_;
  long bytes_ = 0;
  long silentAfter_ = -1;
  std::string stray_, verdict_;
  Ms lastActivity_;
  bool done_ = false;
};

}  // namespace

std::vector<uint8_t> defaultEdid() {
  std::vector<uint8_t> e(128, 0);
  const uint8_t head[] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00,  // header
                          0x0D, 0xAF, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00,  // vendor, product
                          0x01, 0x14, 0x01, 0x03};                        // week, year, 1.3
  for (std::size_t i = 0; i < sizeof head; ++i) e[i] = head[i];
  uint8_t sum = 0;
  for (std::size_t i = 0; i < 127; ++i) sum = static_cast<uint8_t>(sum + e[i]);
  e[127] = static_cast<uint8_t>(0x100 - sum);
  return e;
}

std::unique_ptr<Session> startEdid(CardContext& card, int blocks, Wire& w) {
  w.note("EDID upload of " + std::to_string(blocks) + " block(s)");
  return std::make_unique<EdidSession>(card, blocks, w);
}

void restoreDefaultEdid(CardContext& card, Wire& w) {
  card.state.save("edid.bin", defaultEdid());
  w.note("default EDID restored");
}

std::vector<OptionSpec> edidOptions() {
  return {
      {"edid-verdict", true, "verdict byte after an EDID upload, whatever the checksum (e.g. E)"},
      {"edid-stray", true, "bytes sent before every EDID acknowledgement, '~' and verdict"},
      {"edid-silent-after", true, "answer only the first N bytes of an EDID upload, then nothing"},
  };
}

}  // namespace cardsim
