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

}  // namespace cardsim
