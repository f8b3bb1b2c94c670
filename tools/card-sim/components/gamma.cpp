#include "components/gamma.h"

#include <cstdio>
#include <string>

namespace cardsim {
namespace {

constexpr std::size_t kValues = 3072;
constexpr Ms kIdleMs = 10000;  // the upload is given up after this silence
// A slow acknowledgement or verdict comes after the updater's 5 s wait for
// the verdict (a value's acknowledgement may take up to 60 s: give the
// fault a value to pass that).
constexpr Ms kSlowMs = 6000;

class GammaSession : public Session {
 public:
  GammaSession(CardContext& card, Wire& w) : card_(card), lastActivity_(w.now()) {
    stray_ = card.options.get("gamma-stray");
    verdict_ = card.options.get("gamma-verdict");
    silentAfter_ = card.options.getInt("gamma-silent-after", -1);
    const std::string greeting = card.options.get("gamma-greeting");
    if (!greeting.empty()) w.send(greeting);
  }

  void onByte(uint8_t b, Wire& w) override {
    if (done_) return;
    lastActivity_ = w.now();
    FaultSchedule& faults = card_.faults(channelFaultFamily());
    if (table_.size() < 2 * kValues) {
      table_.push_back(b);
      if (table_.size() % 2 != 0) return;
      const long values = static_cast<long>(table_.size() / 2);
      if (silentAfter_ >= 0 && values > silentAfter_) return;
      const Fault* f = faults.next(Exchange{"gamma-value", values - 1, static_cast<long>(kValues)}, w);
      const std::vector<uint8_t> value(table_.end() - 2, table_.end());
      if (sendSpoiled(f, bytesOf(stray_ + "."), value, 0, kSlowMs, w) == Spoiled::Refused) {
        w.send("~E");
        w.note("gamma upload refused at value " + std::to_string(values));
        done_ = true;
      }
      return;
    }
    done_ = true;
    uint8_t sum = 0;
    bool tenBits = true;
    for (std::size_t i = 0; i < table_.size(); ++i) {
      sum = static_cast<uint8_t>(sum + table_[i]);
      if (i % 2 == 0 && table_[i] > 3) tenBits = false;
    }
    char verdict = sum == b && tenBits ? 'S' : 'E';
    if (sum != b) w.note("gamma checksum does not match");
    if (!tenBits) w.note("gamma value above 1023");
    if (!verdict_.empty()) verdict = verdict_[0];
    if (silentAfter_ >= 0) {
      w.note("gamma upload: no verdict (silent)");
      return;
    }
    const Fault* f = faults.next(Exchange{"gamma-verdict"}, w);
    const std::string answer = stray_ + "~" + stray_ + std::string(1, verdict);
    if (sendSpoiled(f, bytesOf(answer), {b}, 0, kSlowMs, w) == Spoiled::Refused) {
      verdict = 'E';
      w.send("~E");
    }
    if (verdict != 'S') {
      w.note(std::string("gamma table refused, verdict ") + verdict);
      return;
    }
    store();
    w.note("gamma table stored");
  }

  std::optional<Ms> timer() const override {
    if (done_) return std::nullopt;
    return lastActivity_ + kIdleMs;
  }
  void onTimer(Wire& w) override {
    w.note("gamma upload abandoned after " + std::to_string(table_.size()) + " bytes");
    done_ = true;
  }
  bool finished() const override { return done_; }

 private:
  void store() {
    card_.state.save("gamma.bin", table_);
    std::string text;
    char line[48];
    for (std::size_t i = 0; i + 5 < table_.size(); i += 6) {
      auto value = [&](std::size_t at) { return (table_[at] << 8) | table_[at + 1]; };
      std::snprintf(line, sizeof line, "%d,%d,%d\n", value(i), value(i + 2), value(i + 4));
      text += line;
    }
    card_.state.save("gamma.txt", std::vector<uint8_t>(text.begin(), text.end()));
  }

  CardContext& card_;
  std::vector<uint8_t> table_;
  std::string stray_, verdict_;
  long silentAfter_ = -1;
  Ms lastActivity_;
  bool done_ = false;
};

}  // namespace

std::unique_ptr<Session> startGamma(CardContext& card, Wire& w) {
  w.note("gamma upload");
  return std::make_unique<GammaSession>(card, w);
}

std::vector<OptionSpec> gammaOptions() {
  return {
      {"gamma-verdict", true, "verdict byte after a gamma upload, whatever the checksum (e.g. E)"},
      {"gamma-stray", true, "bytes sent before every gamma acknowledgement, '~' and verdict"},
      {"gamma-silent-after", true, "acknowledge only the first N gamma values, then nothing"},
      {"gamma-greeting", true, "bytes the card sends right after \"#GAMMA 3 0\\r\""},
  };
}

}  // namespace cardsim
