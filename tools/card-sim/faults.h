// Fault injection shared by the card's components.
//
// Each family of faults is one repeatable option, KIND[=VALUE]@WHICH:
//   --vxp-fault      ISP frames of the video processor
//   --micro-fault    micro commands "=M?\r"
//   --channel-fault  the firmware's command channel: FPGA, EDID, GAMMA, REMOTE
//   --boot-fault     the microcontroller's boot program and kernels
//
// An exchange is one thing the updater sends and the card answers (a
// frame, a micro command, an EDID byte, a boot write block ...).  WHICH
// picks exchanges:
//   N             the N-th exchange of the family, of any kind
//   NAME          every exchange of that kind
//   NAME:N        the N-th exchange of that kind since card-sim started
//   NAME:first    the first exchange of the transfer it belongs to
//   NAME:middle   the one in the middle of its transfer   } kinds whose
//   NAME:last     the last one of its transfer            } length the card knows
//   ...xR         R in a row: numbers N .. N+R-1, or R hits of a position (a
//                 block refused at the last place, sent again, refused again)
// When several faults hit one exchange the first one given applies.  Every
// fault that hits is noted in the exchange log.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "options.h"
#include "wire.h"

namespace cardsim {

struct ExchangeKind {
  const char* name;
  bool sized;  // the card knows the length of the transfer: middle and last work
};

// What a family accepts.  `letters`: exchange names are single characters
// (micro command letters) instead of the listed kinds.
struct FaultFamily {
  const char* option;
  std::vector<std::string> kinds;
  std::vector<std::string> numberValued;  // kinds that take =NUMBER
  std::vector<std::string> charValued;    // kinds that take =C (one character)
  std::vector<ExchangeKind> exchanges;
  bool letters = false;
};

// One exchange as a component sees it when it is about to answer.
struct Exchange {
  std::string name;
  long index = -1;  // 0-based place in its transfer, -1 when the card cannot tell
  long total = -1;  // exchanges of its transfer, -1 when unknown
};

struct Fault {
  enum class Pos { Every, Number, First, Middle, Last };

  std::string text;  // as given
  std::string kind;
  long value = -1;   // =VALUE, -1 when absent
  std::string target;  // exchange kind; empty: numbered among the whole family
  Pos pos = Pos::Every;
  long first = 0;    // Pos::Number: the first number hit (1-based)
  long repeat = 1;   // numbers in a row, or hits of a position
  long fired = 0;    // hits of a position so far

  // True when this fault applies to exchange `e`, the `nthOfKind`-th of its
  // kind and the `nth`-th of the family.  Does not count the hit.
  bool matches(const Exchange& e, long nthOfKind, long nth) const;
};

bool parseFault(const FaultFamily& family, const std::string& text, Fault* fault, std::string* error);

// The faults of one family given on the command line, with the counters
// that place each exchange.
class FaultSchedule {
 public:
  FaultSchedule() = default;
  explicit FaultSchedule(const FaultFamily& family) : family_(&family) {}

  // Parses every value of the family's option; false with a message on the
  // first bad one.
  bool load(const Options& options, std::string* error);

  // Counts exchange `e` and returns the fault that hits it (noted in the
  // log through `w`), or nullptr.
  const Fault* next(const Exchange& e, Wire& w);

  long count() const { return nth_; }

 private:
  const FaultFamily* family_ = nullptr;
  std::vector<Fault> faults_;
  long nth_ = 0;
  std::map<std::string, long> nthOfKind_;
};

// The families.
const FaultFamily& vxpFaultFamily();
const FaultFamily& microFaultFamily();
const FaultFamily& channelFaultFamily();
const FaultFamily& bootFaultFamily();

// The value of a fault, or `fallback` when it was given without one.
inline long faultValue(const Fault& f, long fallback) { return f.value >= 0 ? f.value : fallback; }

// A stall: the card stops reading the line for the fault's value in ms
// (without one, for good) and answers once it reads again.  Adds the pause
// to `*delay`; false when no answer comes at all.
bool stallLine(const Fault& f, Wire& w, Ms* delay);
// A vanish: the line drops (a new pseudo-terminal) before the answer.
void dropLine(Wire& w);

// Sends an answer of the command channel as fault `f` (none: as it is)
// spoils it: silence sends nothing, echo sends `received` instead, noise
// puts junk before it, cut sends its first half, slow sends it
// `slowDefault` ms (or the fault's value) late, stall and vanish as above.
// A refusal is the caller's: it returns Refused and sends nothing.
enum class Spoiled { Sent, Withheld, Refused };
Spoiled sendSpoiled(const Fault* f, const std::vector<uint8_t>& answer,
                    const std::vector<uint8_t>& received, Ms delay, Ms slowDefault, Wire& w);
inline std::vector<uint8_t> bytesOf(const std::string& s) { return {s.begin(), s.end()}; }

// Junk bytes for a noise fault: none of them starts an answer of any of the
// card's protocols ('=' 'G', '=' 'M', '*', '$', '~', '.', 0x06, 0xAA).
std::vector<uint8_t> noiseBytes(long n);

}  // namespace cardsim
