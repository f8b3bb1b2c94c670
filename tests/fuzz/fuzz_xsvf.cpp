// The card's XSVF reader and the FPGA player around it, on any stream: the
// reader must never ask for a piece it cannot take, and the player must
// end or keep asking without running off its buffers.
#include <cstddef>
#include <cstdint>
#include <string>

#include "card_context.h"
#include "components/fpga.h"
#include "components/xsvf.h"
#include "options.h"
#include "state_dir.h"
#include "wire.h"

namespace {

class NullWire : public cardsim::Wire {
 public:
  cardsim::Ms now() const override { return 0; }
  void send(const uint8_t*, std::size_t, cardsim::Ms) override {}
  void note(const std::string&) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  cardsim::XsvfReader reader;
  std::size_t at = 0;
  while (reader.state() == cardsim::XsvfReader::State::Reading) {
    const std::size_t n = reader.need();
    if (n == 0 || n > cardsim::XsvfReader::kMaxPiece) __builtin_trap();
    if (size - at < n) break;
    reader.take(data + at, n);
    at += n;
  }

  cardsim::Options options;
  cardsim::StateDir state;
  cardsim::CardContext card(options, state);
  NullWire w;
  auto session = cardsim::startFpga(card, w);
  for (std::size_t i = 0; i < size && !session->finished(); ++i) session->onByte(data[i], w);
  return 0;
}
