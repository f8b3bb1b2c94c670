// The SH2 microcontroller in boot mode, as the updater's boot-mode
// programmer meets it:
//
//  boot program (9600 bit/s): answers the 0x00 bytes of bit-rate matching
//    with 0x00 and the following 0x55 with 0xAA; takes the micro kernel's
//    two length bytes and its bytes, echoing each; then sends 0xAA, erases
//    the flash and reports the erase (0xAA, or 0xFF when it failed);
//  micro kernel: programming-unit inquiry 0x27 -> 37 02 00 80 47; device
//    selection 0x10, clock mode 0x11 and new bit rate 0x3F, each a frame
//    [command, size, data, sum byte] acknowledged with 0x06; after
//    acknowledging the bit rate it listens at 115200 bit/s, confirms the
//    rate (0x06 -> 0x06) and the transition 0x40, then loads the main kernel
//    (four length bytes, the bytes, a sum byte that completes the bytes plus
//    0x75 to zero);
//  main kernel: status inquiry 0x4F -> 5F 02 status 00 sum, status 03 until
//    a block has been written and 04 after; user-area selection 0x43; then
//    the write kernel, loaded like the main kernel but with 0x9A;
//  write kernel: write blocks 0x50, four address bytes, 128 data bytes and
//    a sum byte that makes the block's 8-bit sum zero, acknowledged 0x06.
//
// The flash (micro_flash.bin in the state directory, erased to 0xFF) is
// programmed like NOR flash: a write can only clear bits.  The kernels are
// kept as boot_micro_kernel.bin, boot_main_kernel.bin, boot_write_kernel.bin.
//
// Power-on: the card runs its firmware only when the flash holds a complete
// application.  It does not when micro_flash.bin is all erased, or when the
// last block the write kernel programmed was never acknowledged (the line
// or the power went mid-write); micro_flash.pending holds that block's
// address until its 0x06 goes out.  The card then starts in its boot
// program, as with --boot-mode.  Without micro_flash.bin the card holds its
// factory application.
#include "components/boot.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace cardsim {
namespace {

constexpr std::size_t kFlashSize = 0x40800;  // 256 KiB and the 2 KiB below 0x800
constexpr uint8_t kAck = 0x06;
const char* const kPending = "micro_flash.pending";
constexpr uint8_t kNak = 0x15;
constexpr Ms kSaveAfterMs = 50;  // the flash file is written once the line is quiet
constexpr Ms kNewAttemptAfterMs = 1000;
// A slow answer comes after the longest of the updater's waits (10 s for a
// status answer).
constexpr Ms kSlowMs = 11000;

const OptionSpec kBootOptions[] = {
    {"boot-silent", true,
     "the boot program ignores the first N matching attempts (bursts of 0x00 after a second of "
     "quiet), or every one with 'always'"},
    {"boot-match-after", true, "answer only the Nth 0x00 of a matching attempt (default 1)"},
    {"boot-no-sync-aa", false, "never answer the 0x55 after matching with 0xAA"},
    {"boot-no-aa", false, "send no 0xAA (and no erase report) after the micro kernel"},
    {"boot-erase-fail", false, "report a failed erase (0xFF) after the micro kernel"},
    {"boot-bad-inquiry", false, "answer the programming-unit inquiry with 37 02 00 40 87"},
    {"boot-no-ack", true,
     "leave one step unacknowledged: device, clock, bitrate, confirm, transition, main-kernel, "
     "prepare-user, write-kernel, or block:N (the Nth write block); may be repeated"},
    {"boot-bad-status-sum", true, "give the Nth status answer (1 or 2) the sum byte 0x00"},
    {"boot-refuse-block", true, "refuse the Nth write block with 0x15 and leave the flash as it is"},
    {"reboot-after", true,
     "once the write kernel has acknowledged a block and the line stays quiet for MS milliseconds, "
     "restart the application just written, as a power cycle would (default 2000; keep it above "
     "the 1 s pause the updater makes after the first KiB; 0: stay in the boot program until "
     "card-sim is power-cycled with SIGUSR1 or restarted)"},
    {"boot-fault", true,
     "KIND[=VALUE]@WHICH: spoil a boot-mode answer (repeatable). KIND: silence, wrong[=B] (a wrong "
     "echo, acknowledgement, erase report, programming unit or status code), badsum (inquiry or status "
     "sum byte), refuse (0x15, the step not carried out), noise[=N], slow[=MS] (default 11000), "
     "stall[=MS] (stops reading), vanish (the line drops), noprogram[=I] (a block acknowledged with "
     "its byte I not programmed). WHICH: N, STEP, STEP:N, STEP:first, echo or length:middle|last, xR. "
     "STEP: match, sync, length, echo, erase, inquiry, device, clock, bitrate, confirm, transition, "
     "main-kernel, status, prepare-user, write-kernel, block"},
};

std::string hex2(unsigned v) {
  char t[8];
  std::snprintf(t, sizeof t, "%02X", v & 0xFF);
  return t;
}

class BootSession : public Session {
 public:
  BootSession(CardContext& card, BootEntry entry) : card_(card) {
    const Options& o = card.options;
    std::string silent = o.get("boot-silent", "0");
    silentAttempts_ = silent == "always" ? LONG_MAX : std::strtol(silent.c_str(), nullptr, 0);
    matchAfter_ = o.getInt("boot-match-after", 1);
    for (const std::string& step : o.all("boot-no-ack")) {
      if (step.rfind("block:", 0) == 0)
        noAckBlocks_.push_back(std::strtol(step.c_str() + 6, nullptr, 0));
      else if (step == "block")
        noAckBlocks_.push_back(1);
      else
        noAck_.push_back(step);
    }
    rebootAfter_ = o.getInt("reboot-after", 2000);
    flash_.assign(kFlashSize, 0xFF);
    if (auto stored = card.state.load("micro_flash.bin")) {
      if (stored->size() == kFlashSize) flash_ = *stored;
    }
    (void)entry;
  }

  ~BootSession() override {
    if (dirty_) card_.state.save("micro_flash.bin", flash_);
  }

  void onByte(uint8_t b, Wire& w) override;

  void onTimer(Wire& w) override {
    if (dirty_ && w.now() >= lastChange_ + kSaveAfterMs) {
      card_.state.save("micro_flash.bin", flash_);
      dirty_ = false;
    }
    if (rebootDue() && w.now() >= lastActivity_ + rebootAfter_) {
      if (dirty_) card_.state.save("micro_flash.bin", flash_);
      dirty_ = false;
      w.note("boot: the line has been quiet for " + std::to_string(rebootAfter_) +
             " ms after the last block: the card restarts its application");
      rebooted_ = true;
    }
  }
  std::optional<Ms> timer() const override {
    std::optional<Ms> due;
    if (dirty_) due = lastChange_ + kSaveAfterMs;
    if (rebootDue()) {
      const Ms reboot = lastActivity_ + rebootAfter_;
      if (!due || reboot < *due) due = reboot;
    }
    return due;
  }

  // The line goes back to the firmware once the new application restarts.
  bool finished() const override { return rebooted_; }
  uint32_t listenBaud() const override { return baud_; }

 private:
  enum class Stage {
    Matching,
    MicroLength,
    MicroBytes,
    MicroKernel,
    Frame,
    MainKernelLoad,
    MainKernel,
    WriteKernelLoad,
    WriteKernel,
    Block,
  };

  bool acks(const std::string& step) const {
    for (const std::string& s : noAck_)
      if (s == step) return false;
    return true;
  }
  // The fault, if any, that hits this exchange.
  const Fault* fault(const std::string& step, Wire& w, long index = -1, long total = -1) {
    return card_.faults(bootFaultFamily()).next(Exchange{step, index, total}, w);
  }

  // Sends `answer` as fault `f` spoils it.  wrong and refuse replace the
  // byte at `key` (wrong: with the fault's value, else `wrongDefault`, else
  // the byte inverted; refuse: with 0x15); `sumAt` is a sum byte that makes
  // the answer's sum 256, recomputed after such a change.
  // False when nothing goes out.
  bool reply(const Fault* f, std::vector<uint8_t> answer, Wire& w, std::size_t key = 0,
             int sumAt = -1, int wrongDefault = -1) {
    const std::string k = f ? f->kind : "";
    Ms delay = 0;
    if (k == "silence") return false;
    if (k == "vanish") {
      dropLine(w);
      return false;
    }
    if (k == "stall" && !stallLine(*f, w, &delay)) return false;
    if (k == "slow") delay += static_cast<Ms>(faultValue(*f, static_cast<long>(kSlowMs)));
    if (k == "wrong" || k == "refuse") {
      const long fallback = wrongDefault >= 0 ? wrongDefault : answer[key] ^ 0xFF;
      answer[key] = static_cast<uint8_t>(k == "refuse" ? kNak : faultValue(*f, fallback));
      if (sumAt >= 0) {
        unsigned sum = 0;
        for (int i = 0; i < sumAt; ++i) sum += answer[static_cast<std::size_t>(i)];
        answer[static_cast<std::size_t>(sumAt)] = static_cast<uint8_t>(256 - sum);
      }
    }
    if (k == "badsum" && sumAt >= 0)
      answer[static_cast<std::size_t>(sumAt)] = static_cast<uint8_t>(answer[static_cast<std::size_t>(sumAt)] + 1);
    if (k == "noise") {
      std::vector<uint8_t> junk = noiseBytes(faultValue(*f, 8));
      answer.insert(answer.begin(), junk.begin(), junk.end());
    }
    w.send(answer.data(), answer.size(), delay);
    lastActivity_ = std::max(lastActivity_, w.now() + delay);
    return true;
  }

  // Acknowledges a step with 0x06; false when a fault refuses it (0x15):
  // the step is then not carried out.
  bool ackStep(const std::string& step, Wire& w) {
    const Fault* f = fault(step, w);
    if (f && f->kind == "refuse") {
      w.note("boot: " + step + " refused");
      w.sendByte(kNak);
      return false;
    }
    reply(f, {kAck}, w);
    return true;
  }
  // For a step that --boot-no-ack may leave unacknowledged.
  bool ack(const std::string& step, Wire& w) {
    if (acks(step)) return ackStep(step, w);
    w.note("boot: " + step + " left unacknowledged");
    return true;
  }

  void matching(uint8_t b, Wire& w);
  void microKernelByte(uint8_t b, Wire& w);
  void frameDone(Wire& w);
  void kernelLoadByte(uint8_t b, Wire& w);
  void kernelLoaded(Wire& w);
  void commandByte(uint8_t b, Wire& w);
  void status(Wire& w);
  void blockDone(Wire& w);
  // The write kernel has written and acknowledged a block and waits for
  // the next one: a quiet line from here on means the image is complete.
  bool rebootDue() const {
    return rebootAfter_ > 0 && !rebooted_ && stage_ == Stage::WriteKernel && lastBlockAcked_;
  }

  void touch(Wire& w) {
    dirty_ = true;
    lastChange_ = w.now();
  }

  CardContext& card_;
  Stage stage_ = Stage::Matching;
  uint32_t baud_ = 9600;
  std::vector<uint8_t> flash_;
  bool dirty_ = false;
  Ms lastChange_ = 0;

  // Matching.
  long silentAttempts_ = 0;
  long matchAfter_ = 1;
  bool attemptOpen_ = false;
  Ms lastMatchByte_ = 0;
  bool attemptSilent_ = false;
  long zeros_ = 0;
  bool matched_ = false;

  // Kernel transfers and frames.
  std::vector<uint8_t> kernel_;
  std::size_t kernelLength_ = 0;
  int lengthBytes_ = 0;
  std::vector<uint8_t> frame_;
  bool rateChanged_ = false;
  bool rateConfirmed_ = false;
  bool loadingWriteKernel_ = false;

  // Main and write kernel.
  long statusAnswers_ = 0;
  long blocks_ = 0;
  long blocksWritten_ = 0;
  Ms rebootAfter_ = 0;
  Ms lastActivity_ = 0;  // the last byte in, or the last answer out
  bool lastBlockAcked_ = false;
  bool rebooted_ = false;
  std::vector<long> noAckBlocks_;
  std::vector<std::string> noAck_;
};

void BootSession::onByte(uint8_t b, Wire& w) {
  lastActivity_ = w.now();
  lastBlockAcked_ = false;
  switch (stage_) {
    case Stage::Matching:
      matching(b, w);
      return;
    case Stage::MicroLength:
    case Stage::MicroBytes:
      microKernelByte(b, w);
      return;
    case Stage::Frame:
      frame_.push_back(b);
      if (frame_.size() >= 2 && frame_.size() == std::size_t{frame_[1]} + 3u) frameDone(w);
      return;
    case Stage::MainKernelLoad:
    case Stage::WriteKernelLoad:
      kernelLoadByte(b, w);
      return;
    case Stage::MicroKernel:
    case Stage::MainKernel:
    case Stage::WriteKernel:
      commandByte(b, w);
      return;
    case Stage::Block:
      frame_.push_back(b);
      if (frame_.size() == 134) blockDone(w);
      return;
  }
}

// 0x00 bytes until the boot program has measured the bit rate (it answers
// 0x00), then 0x55 -> 0xAA.
void BootSession::matching(uint8_t b, Wire& w) {
  if (b == 0x00) {
    if (!attemptOpen_ || w.now() - lastMatchByte_ > kNewAttemptAfterMs) {
      attemptOpen_ = true;
      zeros_ = 0;
      long attempt = card_.count("boot-matching-attempts");
      attemptSilent_ = attempt <= silentAttempts_;
      w.note(std::string("boot: matching attempt ") + std::to_string(attempt) +
             (attemptSilent_ ? " (silent)" : ""));
    }
    lastMatchByte_ = w.now();
    if (attemptSilent_) return;
    if (++zeros_ >= matchAfter_) {
      const Fault* f = fault("match", w);
      if (f && f->kind == "refuse") {
        w.sendByte(kNak);
        return;
      }
      if (!matched_) w.note("boot: bit rate matched");
      matched_ = true;
      reply(f, {0x00}, w);
    }
    return;
  }
  if (b == 0x55 && matched_ && !attemptSilent_) {
    if (card_.options.has("boot-no-sync-aa")) {
      w.note("boot: 0x55 left unanswered");
      return;
    }
    const Fault* f = fault("sync", w);
    reply(f, {0xAA}, w);
    if (f && f->kind == "refuse") return;
    stage_ = Stage::MicroLength;
    lengthBytes_ = 0;
    kernelLength_ = 0;
    kernel_.clear();
  }
}

// The micro kernel: two length bytes and the bytes, every one echoed.
void BootSession::microKernelByte(uint8_t b, Wire& w) {
  if (stage_ == Stage::MicroLength)
    reply(fault("length", w, lengthBytes_, 2), {b}, w);
  else
    reply(fault("echo", w, static_cast<long>(kernel_.size()), static_cast<long>(kernelLength_)), {b}, w);
  if (stage_ == Stage::MicroLength) {
    kernelLength_ = (kernelLength_ << 8) | b;
    if (++lengthBytes_ < 2) return;
    w.note("boot: micro kernel of " + std::to_string(kernelLength_) + " bytes");
    stage_ = Stage::MicroBytes;
    if (kernelLength_ > 0) return;
  } else {
    kernel_.push_back(b);
    if (kernel_.size() < kernelLength_) return;
  }
  card_.state.save("boot_micro_kernel.bin", kernel_);
  stage_ = Stage::MicroKernel;
  if (card_.options.has("boot-no-aa")) {
    w.note("boot: no 0xAA after the micro kernel");
    return;
  }
  if (card_.options.has("boot-erase-fail")) {
    w.note("boot: erase failed");
    const uint8_t report[2] = {0xAA, 0xFF};
    w.send(report, 2);
    return;
  }
  const Fault* f = fault("erase", w);
  if (f && (f->kind == "wrong" || f->kind == "refuse")) {
    w.note("boot: erase failed");
    reply(f, {0xAA, 0xAA}, w, 1, -1, 0xFF);
    return;
  }
  flash_.assign(kFlashSize, 0xFF);
  touch(w);
  w.note("boot: flash erased");
  reply(f, {0xAA, 0xAA}, w);
}

// Commands to the micro kernel, the main kernel and the write kernel.
void BootSession::commandByte(uint8_t b, Wire& w) {
  if (stage_ == Stage::MicroKernel) {
    switch (b) {
      case 0x27: {
        w.note("boot: programming-unit inquiry");
        static const uint8_t kAnswer[5] = {0x37, 0x02, 0x00, 0x80, 0x47};
        static const uint8_t kWrong[5] = {0x37, 0x02, 0x00, 0x40, 0x87};
        const uint8_t* answer = card_.options.has("boot-bad-inquiry") ? kWrong : kAnswer;
        reply(fault("inquiry", w), std::vector<uint8_t>(answer, answer + 5), w, 3, 4, 0x40);
        return;
      }
      case 0x10:
      case 0x11:
      case 0x3F:
        frame_.assign(1, b);
        stage_ = Stage::Frame;
        return;
      case kAck:
        if (!rateChanged_) break;
        if (!acks("confirm")) {
          ack("confirm", w);
          return;
        }
        if (!ackStep("confirm", w)) return;
        w.note("boot: new bit rate confirmed");
        rateConfirmed_ = true;
        return;
      case 0x40:
        if (!rateConfirmed_) break;
        if (!acks("transition")) {
          ack("transition", w);
          return;
        }
        if (!ackStep("transition", w)) return;
        w.note("boot: programming state; loading the main kernel");
        stage_ = Stage::MainKernelLoad;
        loadingWriteKernel_ = false;
        lengthBytes_ = 0;
        kernelLength_ = 0;
        kernel_.clear();
        return;
      default:
        break;
    }
    w.note("boot: micro kernel ignores " + hex2(b));
    return;
  }

  // Main kernel, and the write kernel once it runs.
  if (b == 0x4F) {
    status(w);
    return;
  }
  if (stage_ == Stage::MainKernel && b == 0x43) {
    if (!acks("prepare-user")) {
      ack("prepare-user", w);
      return;
    }
    if (!ackStep("prepare-user", w)) return;
    w.note("boot: user area selected; loading the write kernel");
    stage_ = Stage::WriteKernelLoad;
    loadingWriteKernel_ = true;
    lengthBytes_ = 0;
    kernelLength_ = 0;
    kernel_.clear();
    return;
  }
  if (stage_ == Stage::WriteKernel && b == 0x50) {
    frame_.assign(1, b);
    stage_ = Stage::Block;
    return;
  }
  w.note("boot: kernel ignores " + hex2(b));
}

void BootSession::frameDone(Wire& w) {
  stage_ = Stage::MicroKernel;
  unsigned sum = 0;
  for (uint8_t x : frame_) sum += x;
  const uint8_t cmd = frame_[0];
  const char* step = cmd == 0x10 ? "device" : cmd == 0x11 ? "clock" : "bitrate";
  const uint8_t error = cmd == 0x10 ? 0x90 : cmd == 0x11 ? 0x91 : 0xBF;
  if ((sum & 0xFF) != 0) {
    w.note(std::string("boot: ") + step + " frame with a bad sum byte");
    w.sendByte(error);
    return;
  }
  bool valid = false;
  if (cmd == 0x10)
    valid = frame_.size() == 7 && frame_[2] == '0' && frame_[3] == '4' && frame_[4] == '1' &&
            frame_[5] == '0';
  else if (cmd == 0x11)
    valid = frame_.size() == 4 && frame_[2] == 0x03;
  else
    valid = frame_.size() == 10 && frame_[2] == 0x04 && frame_[3] == 0x80;  // 1152 x 100 bit/s
  if (!valid) {
    w.note(std::string("boot: ") + step + " not supported");
    w.sendByte(error);
    return;
  }
  if (!acks(step)) {
    ack(step, w);
    return;
  }
  if (!ackStep(step, w)) return;
  w.note(std::string("boot: ") + step + " accepted");
  if (cmd == 0x3F) {
    // The acknowledgement still goes at the old rate; from now on the
    // kernel listens at the new one.
    rateChanged_ = true;
    baud_ = 115200;
  }
}

// A kernel for the next stage: four length bytes (most significant first),
// the bytes, and a sum byte.
void BootSession::kernelLoadByte(uint8_t b, Wire& w) {
  if (lengthBytes_ < 4) {
    kernelLength_ = (kernelLength_ << 8) | b;
    ++lengthBytes_;
    if (lengthBytes_ == 4)
      w.note(std::string("boot: ") + (loadingWriteKernel_ ? "write" : "main") + " kernel of " +
             std::to_string(kernelLength_) + " bytes");
    return;
  }
  if (kernel_.size() < kernelLength_) {
    kernel_.push_back(b);
    return;
  }
  // The sum byte completes the kernel's bytes and a constant to zero.
  unsigned sum = loadingWriteKernel_ ? 0x9A : 0x75;
  for (uint8_t x : kernel_) sum += x;
  sum += b;
  if ((sum & 0xFF) != 0) {
    w.note("boot: kernel with a bad sum byte " + hex2(b));
    w.sendByte(kNak);
    stage_ = loadingWriteKernel_ ? Stage::MainKernel : Stage::MicroKernel;
    return;
  }
  kernelLoaded(w);
}

void BootSession::kernelLoaded(Wire& w) {
  if (!ack(loadingWriteKernel_ ? "write-kernel" : "main-kernel", w)) {
    stage_ = loadingWriteKernel_ ? Stage::MainKernel : Stage::MicroKernel;
    return;
  }
  if (loadingWriteKernel_) {
    card_.state.save("boot_write_kernel.bin", kernel_);
    stage_ = Stage::WriteKernel;
  } else {
    card_.state.save("boot_main_kernel.bin", kernel_);
    stage_ = Stage::MainKernel;
  }
}

// Status: 5F 02 status 00 and a sum byte completing the four to 256.
void BootSession::status(Wire& w) {
  const long n = ++statusAnswers_;
  const uint8_t st = blocksWritten_ > 0 ? 0x04 : 0x03;
  uint8_t answer[5] = {0x5F, 0x02, st, 0x00, 0};
  answer[4] = static_cast<uint8_t>(256 - (answer[0] + answer[1] + answer[2] + answer[3]));
  if (card_.options.getInt("boot-bad-status-sum", 0) == n) answer[4] = 0x00;
  w.note("boot: status " + hex2(st));
  reply(fault("status", w), std::vector<uint8_t>(answer, answer + 5), w, 2, 4, 0x05);
}

void BootSession::blockDone(Wire& w) {
  stage_ = Stage::WriteKernel;
  const long n = ++blocks_;
  const Fault* f = fault("block", w);
  unsigned sum = 0;
  for (uint8_t x : frame_) sum += x;
  const uint32_t address = (uint32_t{frame_[1]} << 24) | (uint32_t{frame_[2]} << 16) |
                           (uint32_t{frame_[3]} << 8) | frame_[4];
  char where[48];
  std::snprintf(where, sizeof where, "block %ld at 0x%06lX", n, static_cast<unsigned long>(address));
  if ((sum & 0xFF) != 0) {
    w.note(std::string("boot: ") + where + " with a bad sum byte: refused");
    w.sendByte(kNak);
    return;
  }
  if (address % 128 != 0 || address > kFlashSize - 128) {
    w.note(std::string("boot: ") + where + " outside the flash: refused");
    w.sendByte(kNak);
    return;
  }
  if (card_.options.getInt("boot-refuse-block", 0) == n || (f && f->kind == "refuse")) {
    w.note(std::string("boot: ") + where + " refused");
    w.sendByte(kNak);
    return;
  }
  const long skip = f && f->kind == "noprogram" ? faultValue(*f, 0) % 128 : -1;
  if (skip >= 0) w.note("boot: byte " + std::to_string(skip) + " of the block does not program");
  for (int j = 0; j < 128; ++j)
    if (j != skip) flash_[address + j] &= frame_[5 + j];
  ++blocksWritten_;
  touch(w);
  card_.state.save(kPending, std::vector<uint8_t>(where, where + std::strlen(where)));
  for (long unacked : noAckBlocks_) {
    if (unacked == n) {
      w.note(std::string("boot: ") + where + " written, left unacknowledged");
      return;
    }
  }
  if (reply(f, {kAck}, w)) {
    card_.state.save(kPending, {});
    lastBlockAcked_ = true;
  }
}

}  // namespace

std::unique_ptr<Session> startBootProgram(CardContext& card, BootEntry entry, Wire& w) {
  const char* how = entry == BootEntry::PowerOn          ? "at power-on"
                    : entry == BootEntry::OldFirmwareKey ? "after the old firmware's key '6'"
                                                         : "after #MICRO";
  w.note(std::string("boot program starts ") + how + ", listening at 9600 bit/s");
  return std::make_unique<BootSession>(card, entry);
}

bool startsInBootProgram(const StateDir& state) {
  auto pending = state.load(kPending);
  if (pending && !pending->empty()) return true;
  auto flash = state.load("micro_flash.bin");
  if (!flash) return false;
  for (uint8_t b : *flash)
    if (b != 0xFF) return false;
  return true;
}

std::vector<OptionSpec> bootOptions() {
  return std::vector<OptionSpec>(std::begin(kBootOptions), std::end(kBootOptions));
}

}  // namespace cardsim
