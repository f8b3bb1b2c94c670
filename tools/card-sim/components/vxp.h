// The card's VXP video processor: its ISP service, reached through "=G"
// frames, and the soft reset that the microcontroller applies to it on the
// micro commands "=MP\r", "=MR\r", "=MA\r", "=ME\r".  The model, its
// options and its fault injection are described at the top of vxp.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "card_context.h"
#include "options.h"
#include "wire.h"

namespace cardsim {

class Vxp {
 public:
  explicit Vxp(CardContext& card);
  ~Vxp();
  Vxp(const Vxp&) = delete;
  Vxp& operator=(const Vxp&) = delete;

  // The bytes between "=G" and the closing CR of one frame.
  void onFrame(const std::vector<uint8_t>& encoded, Wire& w);
  // The letter of a micro command "=M?\r".
  void onMicroCommand(char letter, Wire& w);

 private:
  struct Model;
  std::unique_ptr<Model> m_;
};

std::vector<OptionSpec> vxpOptions();

// Flash devices 1 to 7: size in bytes (0 for other numbers) and the name of
// the file that keeps the device in the state directory.
std::size_t vxpFlashSize(int device);
std::string vxpFlashFile(int device);

// One fault of --vxp-fault (micro = false) or --micro-fault (micro = true),
// as parsed from its text.  Exposed so that the syntax can be checked.
struct VxpFault {
  std::string text;    // as given on the command line
  std::string kind;    // "nack", "echo", ..., or "silence", "unknown", "invalid"
  long value = -1;     // the "=VALUE" part, -1 when absent
  std::string target;  // request kind or micro command letter; empty: by overall number
  long first = 0;      // the first numbered request hit (1-based); 0: every one of `target`
  long repeat = 1;     // how many consecutive numbers from `first` are hit

  // True when the `nthOfKind`-th request of kind `name`, the `nthOverall`-th
  // of all, is hit.
  bool hits(const std::string& name, long nthOfKind, long nthOverall) const;
};
bool parseVxpFault(const std::string& text, bool micro, VxpFault* fault, std::string* error);

}  // namespace cardsim
