#include "card.h"

#include <cstdio>
#include <cstdlib>

#include "components/boot.h"
#include "components/edid.h"
#include "components/fpga.h"
#include "components/gamma.h"
#include "components/remote.h"

namespace cardsim {
namespace {

const OptionSpec kFirmwareOptions[] = {
    {"model", true,
     "answer to \"#DEVTYPE\\r\": DVITOSDI, SDITODVI, SL-SDITODVI, HDMITOSDI, SDITOHDMI, "
     "SL-SDITOHDMI, or any other text for an unknown model (default DVITOSDI)"},
    {"version", true, "variant digit and version word answered to \"#DEVERSION\\r\" (default \"1 2.5\"; \"2 ...\" is a PLUS card)"},
    {"version-raw", true, "answer this text and a CR to \"#DEVERSION\\r\" (a malformed answer)"},
    {"version-silent", false, "do not answer \"#DEVERSION\\r\""},
    {"old-firmware", false, "an old firmware: ignores \"#DEVTYPE\\r\", answers CR '1' '$' with its menu, '6' starts the boot program"},
    {"silent", false, "a dead card: answers nothing at all"},
    {"no-probe-answer", false, "do not answer the start-up probe byte 0x00"},
    {"devtype-wrong", true, "answer the first N model requests with an unknown model"},
    {"devtype-silent", true, "leave the first N model requests unanswered"},
    {"boot-mode", false, "the card starts in boot mode: the boot program owns the line at 9600 bit/s"},
    {"replug", true, "drop the line (a new pseudo-terminal) on the first N version requests"},
    {"channel-fault", true,
     "KIND[=VALUE]@WHICH: spoil a command-channel answer (repeatable). KIND: silence, refuse (\"#NACK\\r\" "
     "to a command or script line, '~' 'E' inside a transfer), echo, noise[=N], cut (half the answer), "
     "slow[=MS] (default 6000; 5000 for script lines), stall[=MS] (stops reading), vanish (the line "
     "drops). WHICH: N, EXCHANGE, EXCHANGE:N, EXCHANGE:first, edid-byte or gamma-value:middle|last, xR. "
     "EXCHANGE: fpga, fpga-request, fpga-verdict, edid, edid-byte, edid-verdict, gamma, gamma-value, "
     "gamma-verdict, remote, remote-prompt, micromode, micro (the commands that hand over to the boot "
     "program)"},
};

}  // namespace

std::vector<OptionSpec> allOptions() {
  std::vector<OptionSpec> all(std::begin(kFirmwareOptions), std::end(kFirmwareOptions));
  for (auto list : {vxpOptions(), fpgaOptions(), edidOptions(), gammaOptions(), remoteOptions(),
                    bootOptions()})
    all.insert(all.end(), list.begin(), list.end());
  return all;
}

Card::Card(const Options& options, StateDir& state)
    : context_(options, state), vxp_(std::make_unique<Vxp>(context_)) {
  std::string error;
  if (!checkFaultOptions(context_, &error)) {
    std::fprintf(stderr, "card-sim: %s\n", error.c_str());
    std::exit(2);
  }
}

Card::~Card() = default;

void Card::powerOn(Wire& w) {
  if (context_.options.has("boot-mode") || startsInBootProgram(context_.state))
    startSession(startBootProgram(context_, BootEntry::PowerOn, w), "boot program", w);
}

void Card::powerCycle(Wire& w) {
  w.note("power cycle");
  session_.reset();  // a boot program keeps what it wrote
  vxp_ = std::make_unique<Vxp>(context_);
  parse_ = Parse::Idle;
  text_.clear();
  frame_.clear();
  microModeAnnounced_ = false;
  oldKeys_ = 0;
  if (startsInBootProgram(context_.state))
    startSession(startBootProgram(context_, BootEntry::PowerOn, w), "boot program", w);
}

uint32_t Card::listenBaud() const { return session_ ? session_->listenBaud() : 115200; }

std::optional<Ms> Card::timer() const { return session_ ? session_->timer() : std::nullopt; }

void Card::onTimer(Wire& w) {
  if (!session_) return;
  std::optional<Ms> t = session_->timer();
  if (t && *t <= w.now()) session_->onTimer(w);
  endFinishedSession(w);
}

void Card::receive(const uint8_t* data, std::size_t n, uint32_t lineBaud, Wire& w) {
  for (std::size_t i = 0; i < n; ++i) {
    uint32_t listening = listenBaud();
    if (lineBaud != 0 && lineBaud != listening) {
      char text[96];
      std::snprintf(text, sizeof text, "byte %02X sent at %u bit/s, card listens at %u: garbage",
                    data[i], static_cast<unsigned>(lineBaud), static_cast<unsigned>(listening));
      w.note(text);
      continue;
    }
    if (session_) {
      session_->onByte(data[i], w);
      endFinishedSession(w);
    } else {
      firmwareByte(data[i], w);
    }
  }
}

void Card::startSession(std::unique_ptr<Session> s, const char* what, Wire& w) {
  if (!s) return;
  w.note(std::string(what) + " takes the line");
  session_ = std::move(s);
  parse_ = Parse::Idle;
  endFinishedSession(w);
}

void Card::endFinishedSession(Wire& w) {
  if (session_ && session_->finished()) {
    session_.reset();
    parse_ = Parse::Idle;
    w.note("line back to the firmware");
  }
}

void Card::oldFirmwareKey(uint8_t b, Wire& w) {
  // The old firmware's service menu: CR, '1', '$' open it, '6' hands the
  // microcontroller to its boot program.
  if (oldKeys_ == 3 && b == '6') {
    oldKeys_ = 0;
    startSession(startBootProgram(context_, BootEntry::OldFirmwareKey, w), "boot program", w);
    return;
  }
  if (b == '\r') {
    oldKeys_ = 1;
    w.send("\r\n>");
  } else if (oldKeys_ == 1 && b == '1') {
    oldKeys_ = 2;
  } else if (oldKeys_ == 2 && b == '$') {
    oldKeys_ = 3;
    w.send("\r\nSERVICE MENU\r\n>");
  } else {
    oldKeys_ = 0;
  }
}

void Card::firmwareByte(uint8_t b, Wire& w) {
  const Options& o = context_.options;
  switch (parse_) {
    case Parse::Idle:
      if (b == '#') {
        parse_ = Parse::Command;
        text_.clear();
      } else if (b == '=') {
        parse_ = Parse::Equals;
      } else if (b == 0x00) {
        if (!o.has("silent") && !o.has("no-probe-answer")) w.send(">");
      } else if (o.has("old-firmware")) {
        if (!o.has("silent")) oldFirmwareKey(b, w);
      } else if (b == '\r') {
        if (!o.has("silent")) answerLoneCarriageReturn(context_, w);
      }
      return;
    case Parse::Command:
      if (b == '\r') {
        parse_ = Parse::Idle;
        command(text_, w);
      } else if (text_.size() < 512) {
        text_.push_back(static_cast<char>(b));
      } else {
        parse_ = Parse::Idle;
      }
      return;
    case Parse::Equals:
      if (b == 'M') {
        parse_ = Parse::Micro;
      } else if (b == 'G') {
        parse_ = Parse::Frame;
        frame_.clear();
      } else if (b != '=') {
        parse_ = Parse::Idle;
      }
      return;
    case Parse::Micro:
      microLetter_ = static_cast<char>(b);
      parse_ = Parse::MicroEnd;
      return;
    case Parse::MicroEnd:
      parse_ = Parse::Idle;
      if (b == '\r' && !o.has("silent")) vxp_->onMicroCommand(microLetter_, w);
      return;
    case Parse::Frame:
      if (b == '\r') {
        parse_ = Parse::Idle;
        if (!o.has("silent")) vxp_->onFrame(frame_, w);
      } else if (b == 'G' && !frame_.empty() && frame_.back() == '=') {
        w.note("frame cut off; a new one starts");
        frame_.clear();
      } else if (frame_.size() < 1024) {
        frame_.push_back(b);
      } else {
        parse_ = Parse::Idle;
      }
      return;
  }
}

// A fault on a command that starts a transfer (or, for "#MICROMODE\r" and
// "#MICRO\r", hands the line to the boot program).  Noise comes before the
// transfer; slow and stall make the card stop reading for a while (for
// good: a stall without a value) while the transfer starts; silence, cut,
// echo, refusal ("#NACK\r") and vanish leave the command not carried out.
bool Card::commandFault(const char* exchange, const std::string& line, Wire& w) {
  const Fault* f = context_.faults(channelFaultFamily()).next(Exchange{exchange}, w);
  if (!f) return false;
  const std::string& k = f->kind;
  if (k == "noise") {
    const std::vector<uint8_t> junk = noiseBytes(faultValue(*f, 8));
    w.send(junk.data(), junk.size());
    return false;
  }
  if (k == "slow" || k == "stall") {
    const Ms ms = static_cast<Ms>(faultValue(*f, k == "slow" ? 6000 : 0));
    // slow=0 is no delay at all; only a stall without a time stops reading for good.
    if (k == "slow" && ms == 0) return false;
    w.note(ms == 0 ? "card stops reading the line" : "card stops reading the line for " + std::to_string(ms) + " ms");
    w.stopReading(ms);
    return ms == 0;
  }
  if (k == "refuse") w.send("#NACK\r");
  if (k == "echo") w.send("#" + line + "\r");
  if (k == "vanish") dropLine(w);
  w.note("command #" + line + " not carried out");
  return true;
}

void Card::command(const std::string& line, Wire& w) {
  const Options& o = context_.options;
  w.note("command #" + line);
  if (o.has("silent")) return;

  if (line == "DEVERSION") {
    if (context_.count("version-requests") <= o.getInt("replug", 0)) {
      w.note("line dropped");
      w.replug();
      return;
    }
    if (o.has("version-silent")) return;
    if (o.has("version-raw")) {
      w.send(o.get("version-raw") + "\r");
      return;
    }
    w.send("#DEVERSION " + o.get("version", "1 2.5") + "\r");
    return;
  }
  if (o.has("old-firmware")) return;  // knows nothing but its version

  if (line == "DEVTYPE") {
    long n = context_.count("devtype-requests");
    if (n <= o.getInt("devtype-silent", 0)) return;
    if (n <= o.getInt("devtype-silent", 0) + o.getInt("devtype-wrong", 0)) {
      w.send("#DEVTYPE NOTACARD\r");
      return;
    }
    w.send("#DEVTYPE " + o.get("model", "DVITOSDI") + "\r");
    return;
  }
  if (line == "MICROMODE") {
    if (commandFault("micromode", line, w)) return;
    microModeAnnounced_ = true;
    w.send("#MICROMODE\r");
    return;
  }
  if (line == "MICRO") {
    if (commandFault("micro", line, w)) return;
    if (microModeAnnounced_) {
      microModeAnnounced_ = false;
      startSession(startBootProgram(context_, BootEntry::MicroCommand, w), "boot program", w);
    }
    return;
  }
  if (line == "FPGA 1") {
    if (!commandFault("fpga", line, w)) startSession(startFpga(context_, w), "FPGA programming", w);
    return;
  }
  if (line == "EDID 0") {
    restoreDefaultEdid(context_, w);
    return;
  }
  if (line == "EDID 1" || line == "EDID 2") {
    if (!commandFault("edid", line, w))
      startSession(startEdid(context_, line == "EDID 1" ? 1 : 2, w), "EDID upload", w);
    return;
  }
  if (line == "GAMMA 3 0") {
    if (!commandFault("gamma", line, w)) startSession(startGamma(context_, w), "gamma upload", w);
    return;
  }
  answerCommand(context_, line, w);
}

}  // namespace cardsim
