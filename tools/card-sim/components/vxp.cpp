#include "components/vxp.h"

namespace cardsim {

Vxp::Vxp(CardContext& card) : card_(card) {}
Vxp::~Vxp() = default;

void Vxp::onFrame(const std::vector<uint8_t>&, Wire& w) {
  w.note("ISP frame ignored: the video processor is not simulated");
}

void Vxp::onMicroCommand(char letter, Wire& w) {
  w.note(std::string("micro command ") + letter);
  w.send("=M*");
}

std::vector<OptionSpec> vxpOptions() { return {}; }

}  // namespace cardsim
