#include "faults.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace cardsim {
namespace {

bool among(const std::string& s, const std::vector<std::string>& list) {
  return std::find(list.begin(), list.end(), s) != list.end();
}

bool parseNumber(const std::string& s, long* out) {
  if (s.empty() || s[0] == '-' || s[0] == '+') return false;
  char* end = nullptr;
  long n = std::strtol(s.c_str(), &end, 0);
  if (*end != '\0' || n < 0) return false;
  *out = n;
  return true;
}

bool allDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

const ExchangeKind* findExchange(const FaultFamily& family, const std::string& name) {
  for (const ExchangeKind& e : family.exchanges)
    if (name == e.name) return &e;
  return nullptr;
}

}  // namespace

bool Fault::matches(const Exchange& e, long nthOfKind, long nth) const {
  if (target.empty()) return nth >= first && nth < first + repeat;
  if (target != e.name) return false;
  switch (pos) {
    case Pos::Every: return true;
    case Pos::Number: return nthOfKind >= first && nthOfKind < first + repeat;
    case Pos::First: return fired < repeat && (e.index >= 0 ? e.index == 0 : nthOfKind == 1);
    case Pos::Middle: return fired < repeat && e.total > 0 && e.index == e.total / 2;
    case Pos::Last: return fired < repeat && e.total > 0 && e.index == e.total - 1;
  }
  return false;
}

bool parseFault(const FaultFamily& family, const std::string& text, Fault* fault, std::string* error) {
  Fault f;
  f.text = text;
  auto bad = [&](const std::string& why) {
    *error = std::string("--") + family.option + " '" + text + "': " + why;
    return false;
  };
  const std::size_t at = text.find('@');
  if (at == std::string::npos) return bad("expected KIND[=VALUE]@WHICH");
  const std::string left = text.substr(0, at);
  std::string which = text.substr(at + 1);

  const std::size_t eq = left.find('=');
  f.kind = left.substr(0, eq);
  if (!among(f.kind, family.kinds)) return bad("unknown fault kind '" + f.kind + "'");
  if (eq != std::string::npos) {
    const std::string value = left.substr(eq + 1);
    if (among(f.kind, family.charValued)) {
      if (value.size() != 1) return bad(f.kind + "=C takes one character");
      f.value = static_cast<unsigned char>(value[0]);
    } else if (!among(f.kind, family.numberValued)) {
      return bad("'" + f.kind + "' takes no value");
    } else if (!parseNumber(value, &f.value)) {
      return bad("bad value '" + value + "'");
    }
  }

  const std::size_t x = which.rfind('x');
  bool repeated = false;
  if (x != std::string::npos && x > 0 && allDigits(which.substr(x + 1))) {
    parseNumber(which.substr(x + 1), &f.repeat);
    which = which.substr(0, x);
    repeated = true;
  }
  if (allDigits(which)) {
    parseNumber(which, &f.first);
    if (f.first < 1) return bad("numbers count from 1");
    f.pos = Fault::Pos::Number;
    *fault = f;
    return true;
  }
  const std::size_t colon = which.find(':');
  f.target = which.substr(0, colon);
  const ExchangeKind* kind = family.letters ? nullptr : findExchange(family, f.target);
  if (family.letters ? f.target.size() != 1 : kind == nullptr)
    return bad(family.letters ? "expected a command letter or a number"
                              : "unknown exchange '" + f.target + "'");
  if (colon == std::string::npos) {
    if (repeated) return bad("a repeat count needs a number or a position");
    *fault = f;
    return true;
  }
  const std::string place = which.substr(colon + 1);
  if (place == "first") {
    f.pos = Fault::Pos::First;
  } else if (place == "middle" || place == "last") {
    if (!kind || !kind->sized)
      return bad("the card cannot tell the " + place + " '" + f.target + "': give its number");
    f.pos = place == "middle" ? Fault::Pos::Middle : Fault::Pos::Last;
  } else if (allDigits(place) && parseNumber(place, &f.first) && f.first >= 1) {
    f.pos = Fault::Pos::Number;
  } else {
    return bad("expected a number from 1, first, middle or last after ':'");
  }
  *fault = f;
  return true;
}

bool FaultSchedule::load(const Options& options, std::string* error) {
  faults_.clear();
  for (const std::string& text : options.all(family_->option)) {
    Fault f;
    if (!parseFault(*family_, text, &f, error)) return false;
    faults_.push_back(f);
  }
  return true;
}

const Fault* FaultSchedule::next(const Exchange& e, Wire& w) {
  const long nth = ++nth_;
  const long nthOfKind = ++nthOfKind_[e.name];
  for (Fault& f : faults_) {
    if (!f.matches(e, nthOfKind, nth)) continue;
    ++f.fired;
    char text[200];
    int n = std::snprintf(text, sizeof text, "fault %s on %s exchange %ld (%s %ld", f.text.c_str(),
                          family_->option, nth, e.name.c_str(), nthOfKind);
    if (n > 0 && e.index >= 0 && static_cast<std::size_t>(n) < sizeof text)
      n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), ", place %ld of %ld",
                         e.index + 1, e.total);
    if (n > 0 && static_cast<std::size_t>(n) < sizeof text)
      std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), ")");
    w.note(text);
    return &f;
  }
  return nullptr;
}

const FaultFamily& vxpFaultFamily() {
  static const FaultFamily family{
      "vxp-fault",
      {"nack", "echo", "silence", "badsum", "wronglen", "noise", "cut", "wrongdev", "otherid", "slow",
       "short", "garbled", "noprogram", "stall", "vanish"},
      {"noise", "wrongdev", "otherid", "slow", "short", "garbled", "noprogram", "stall"},
      {},
      {{"driver-write", false}, {"driver-call", false}, {"mode", false}, {"mode-status", false},
       {"flash-write", true}, {"flash-read", true}, {"device-name", false}, {"status", false},
       {"calibration", false}, {"other", false}},
  };
  return family;
}

const FaultFamily& microFaultFamily() {
  static const FaultFamily family{
      "micro-fault",
      {"silence", "unknown", "invalid", "slow", "echo", "noise", "stall", "vanish"},
      {"slow", "noise", "stall"},
      {"invalid"},
      {},
      true,
  };
  return family;
}

const FaultFamily& channelFaultFamily() {
  static const FaultFamily family{
      "channel-fault",
      {"silence", "refuse", "echo", "noise", "cut", "slow", "stall", "vanish"},
      {"noise", "slow", "stall"},
      {},
      {{"fpga", false}, {"fpga-request", false}, {"fpga-verdict", false}, {"edid", false},
       {"edid-byte", true}, {"edid-verdict", false}, {"gamma", false}, {"gamma-value", true},
       {"gamma-verdict", false}, {"remote", false}, {"remote-prompt", false}, {"micromode", false},
       {"micro", false}},
  };
  return family;
}

const FaultFamily& bootFaultFamily() {
  static const FaultFamily family{
      "boot-fault",
      {"silence", "wrong", "badsum", "refuse", "noise", "slow", "stall", "vanish", "noprogram"},
      {"wrong", "noise", "slow", "stall", "noprogram"},
      {},
      {{"match", false}, {"sync", false}, {"length", true}, {"echo", true}, {"erase", false},
       {"inquiry", false}, {"device", false}, {"clock", false}, {"bitrate", false}, {"confirm", false},
       {"transition", false}, {"main-kernel", false}, {"status", false}, {"prepare-user", false},
       {"write-kernel", false}, {"block", false}},
  };
  return family;
}

bool stallLine(const Fault& f, Wire& w, Ms* delay) {
  const Ms ms = static_cast<Ms>(faultValue(f, 0));
  w.note(ms == 0 ? "card stops reading the line"
                 : "card stops reading the line for " + std::to_string(ms) + " ms");
  w.stopReading(ms);
  *delay += ms;
  return ms != 0;
}

void dropLine(Wire& w) {
  w.note("line dropped before the answer");
  w.replug();
}

Spoiled sendSpoiled(const Fault* f, const std::vector<uint8_t>& answer,
                    const std::vector<uint8_t>& received, Ms delay, Ms slowDefault, Wire& w) {
  const std::string k = f ? f->kind : "";
  if (k == "refuse") return Spoiled::Refused;
  if (k == "silence") return Spoiled::Withheld;
  if (k == "vanish") {
    dropLine(w);
    return Spoiled::Withheld;
  }
  if (k == "stall" && !stallLine(*f, w, &delay)) return Spoiled::Withheld;
  if (k == "slow") delay += static_cast<Ms>(faultValue(*f, static_cast<long>(slowDefault)));
  std::vector<uint8_t> out = answer;
  if (k == "echo") out = received;
  if (k == "cut") out.resize(out.size() / 2);
  if (k == "noise") {
    std::vector<uint8_t> junk = noiseBytes(faultValue(*f, 8));
    out.insert(out.begin(), junk.begin(), junk.end());
  }
  if (!out.empty()) w.send(out.data(), out.size(), delay);
  return Spoiled::Sent;
}

std::vector<uint8_t> noiseBytes(long n) {
  static const uint8_t junk[] = {0x00, 0x55, '=', 'x', 0xFF, '#', 0x0D, 0x41};
  std::vector<uint8_t> out;
  for (long i = 0; i < n; ++i) out.push_back(junk[static_cast<std::size_t>(i) % sizeof junk]);
  return out;
}

}  // namespace cardsim
