#include "components/fpga.h"

#include <cstdlib>

#include "components/xsvf.h"

namespace cardsim {
namespace {

// Without a byte from the updater for this long the card gives up (the
// updater went away); what it received so far is stored.
constexpr Ms kIdleMs = 10000;
constexpr Ms kCutPauseMs = 1500;  // longer than the updater waits for a request's rest
constexpr Ms kSlowMs = 6000;      // a slow request or verdict comes this late

class FpgaSession : public Session {
 public:
  FpgaSession(CardContext& card, Wire& w) : card_(card), lastActivity_(w.now()) {
    const Options& o = card.options;
    trailing_ = o.get("fpga-trailing");
    stray_ = o.get("fpga-stray");
    splitMs_ = static_cast<Ms>(o.getInt("fpga-split-ms", 0));
    verdict_ = o.get("fpga-verdict", "S");
    if (o.has("fpga-plan")) {
      std::string error;
      usePlan_ = true;
      if (!parsePlan(o.get("fpga-plan"), &plan_, &error)) {
        w.note("bad --fpga-plan: " + error);
        plan_.assign(1, PlanStep{PlanStep::End, 0, 'E'});
      }
    }
    next(w);
  }

  void onByte(uint8_t b, Wire& w) override {
    if (done_) return;
    lastActivity_ = w.now();
    received_.push_back(b);
    piece_.push_back(b);
    if (piece_.size() < want_) return;
    if (!usePlan_) {
      reader_.take(piece_.data(), piece_.size());
      if (!reader_.finished().empty()) w.note(reader_.finished());
    }
    lastPiece_.swap(piece_);
    piece_.clear();
    want_ = 0;
    next(w);
  }

  std::optional<Ms> timer() const override {
    if (done_) return std::nullopt;
    return lastActivity_ + kIdleMs;
  }

  // The microcontroller stops waiting and reports the broken programming
  // ('~' 'T'); an updater still in its request loop ends there instead of
  // waiting for ever.
  void onTimer(Wire& w) override {
    w.note("FPGA stream abandoned: no byte for " + std::to_string(kIdleMs) + " ms");
    end('T', w);
  }

  bool finished() const override { return done_; }

 private:
  // Asks for the next piece of the stream, or ends.
  void next(Wire& w) {
    delay_ = 0;
    if (usePlan_) {
      nextFromPlan(w);
      return;
    }
    switch (reader_.state()) {
      case XsvfReader::State::Reading:
        request(reader_.need(), w);
        return;
      case XsvfReader::State::Complete:
        if (verdict_ == "none") {
          end(0, w);
        } else {
          end(static_cast<uint8_t>(verdict_[0]), w);
        }
        return;
      case XsvfReader::State::Malformed:
        w.note("malformed stream: " + reader_.error());
        end('E', w);
        return;
    }
  }

  void nextFromPlan(Wire& w) {
    while (planAt_ < plan_.size()) {
      const PlanStep& s = plan_[planAt_++];
      switch (s.kind) {
        case PlanStep::Single:
          request(1, w);
          return;
        case PlanStep::Block:
          if (s.count == 0) {  // asks for nothing: no answer comes
            blockRequest(0, w);
            continue;
          }
          blockRequest(s.count, w);
          return;
        case PlanStep::Notice: {
          const uint8_t notice[2] = {'$', static_cast<uint8_t>(s.letter)};
          send(notice, 2, w);
          continue;
        }
        case PlanStep::Cut:
          send(reinterpret_cast<const uint8_t*>("$$"), 2, w);
          delay_ += kCutPauseMs;
          continue;
        case PlanStep::End:
          end(static_cast<uint8_t>(s.letter), w);
          return;
      }
    }
    end('S', w);
  }

  void request(std::size_t n, Wire& w) {
    if (n == 1) {
      if (spoiled(reinterpret_cast<const uint8_t*>("*"), 1, false, w)) return;
      sendStray(w);
      send(reinterpret_cast<const uint8_t*>("*"), 1, w);
      sendTrailing(w);
      want_ = 1;
    } else {
      blockRequest(n, w);
    }
  }

  void blockRequest(std::size_t n, Wire& w) {
    const uint8_t req[4] = {'$', '$', static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n & 0xFF)};
    want_ = n;
    if (spoiled(req, 4, true, w)) return;
    sendStray(w);
    if (splitMs_ == 0) {
      send(req, 4, w);
    } else {  // the request's bytes trickle in
      for (const uint8_t& b : req) {
        send(&b, 1, w);
        delay_ += splitMs_;
      }
    }
    sendTrailing(w);
  }

  // Applies a fault that hits this request; true when it took the request's
  // place.  A cut block request stops after "$$" and comes whole later.
  bool spoiled(const uint8_t* req, std::size_t n, bool block, Wire& w) {
    want_ = block ? want_ : 1;
    const Fault* f = card_.faults(channelFaultFamily()).next(Exchange{"fpga-request"}, w);
    if (!f) return false;
    if (f->kind == "cut" && block) {
      send(req, 2, w);
      delay_ += kCutPauseMs;
      return false;
    }
    if (sendSpoiled(f, std::vector<uint8_t>(req, req + n), lastPiece_, delay_, kSlowMs, w) ==
        Spoiled::Refused) {
      want_ = 0;
      end('E', w, false);
    }
    return true;
  }

  void sendStray(Wire& w) {
    if (!stray_.empty()) send(reinterpret_cast<const uint8_t*>(stray_.data()), stray_.size(), w);
  }
  void sendTrailing(Wire& w) {
    if (!trailing_.empty())
      send(reinterpret_cast<const uint8_t*>(trailing_.data()), trailing_.size(), w);
  }

  void send(const uint8_t* data, std::size_t n, Wire& w) { w.send(data, n, delay_); }

  void end(uint8_t verdict, Wire& w, bool faultsApply = true) {
    std::string answer = "~";
    if (verdict != 0) answer.push_back(static_cast<char>(verdict));
    const Fault* f = faultsApply ? card_.faults(channelFaultFamily()).next(Exchange{"fpga-verdict"}, w) : nullptr;
    if (sendSpoiled(f, bytesOf(answer), lastPiece_, delay_, kSlowMs, w) == Spoiled::Refused) {
      verdict = 'E';
      send(reinterpret_cast<const uint8_t*>("~E"), 2, w);
    }
    std::string v = verdict != 0 ? std::string(1, static_cast<char>(verdict)) : "none";
    w.note("FPGA programming ends after " + std::to_string(received_.size()) +
           " bytes, verdict " + v);
    store();
    done_ = true;
  }

  void store() { card_.state.save("fpga.xsvf", received_); }

  CardContext& card_;
  XsvfReader reader_;
  bool usePlan_ = false;
  std::vector<PlanStep> plan_;
  std::size_t planAt_ = 0;
  std::string trailing_, stray_, verdict_;
  Ms splitMs_ = 0;
  Ms delay_ = 0;
  std::vector<uint8_t> received_;
  std::vector<uint8_t> piece_;
  std::vector<uint8_t> lastPiece_;  // what the last request brought (an echo sends it back)
  std::size_t want_ = 0;
  Ms lastActivity_;
  bool done_ = false;
};

}  // namespace

bool parsePlan(const std::string& text, std::vector<PlanStep>* steps, std::string* error) {
  steps->clear();
  std::size_t at = 0;
  while (at <= text.size()) {
    std::size_t comma = text.find(',', at);
    if (comma == std::string::npos) comma = text.size();
    const std::string t = text.substr(at, comma - at);
    at = comma + 1;
    if (t == "*") {
      steps->push_back({PlanStep::Single, 1, 0});
    } else if (t == "cut") {
      steps->push_back({PlanStep::Cut, 0, 0});
    } else if (t.size() == 2 && t[0] == '!') {
      steps->push_back({PlanStep::Notice, 0, t[1]});
    } else if (t.size() == 2 && t[0] == '~') {
      steps->push_back({PlanStep::End, 0, t[1]});
    } else if (!t.empty() && t.find_first_not_of("0123456789") == std::string::npos &&
               t.size() <= 5 && std::strtoul(t.c_str(), nullptr, 10) <= 65535) {
      steps->push_back({PlanStep::Block, std::strtoul(t.c_str(), nullptr, 10), 0});
    } else {
      *error = "step \"" + t + "\"";
      return false;
    }
  }
  return true;
}

std::unique_ptr<Session> startFpga(CardContext& card, Wire& w) {
  return std::make_unique<FpgaSession>(card, w);
}

std::vector<OptionSpec> fpgaOptions() {
  return {
      {"fpga-plan", true,
       "ask for the FPGA stream by this comma-separated plan instead of reading it as XSVF: "
       "'*' one byte, N a block of N bytes, '!c' the error notice '$' c, 'cut' a block request "
       "cut off after \"$$\", '~c' the end with verdict c (default end: '~' 'S')"},
      {"fpga-verdict", true, "verdict byte sent after '~' at XCOMPLETE (default S; 'none': '~' alone)"},
      {"fpga-trailing", true, "bytes sent after every FPGA request (the updater drains them)"},
      {"fpga-stray", true, "bytes sent before every FPGA request (the updater ignores them)"},
      {"fpga-split-ms", true, "send the four bytes of a block request N ms apart"},
  };
}

}  // namespace cardsim
