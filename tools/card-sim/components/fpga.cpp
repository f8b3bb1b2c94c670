#include "components/fpga.h"

namespace cardsim {

std::unique_ptr<Session> startFpga(CardContext&, Wire& w) {
  w.note("FPGA programming is not simulated");
  return nullptr;
}

std::vector<OptionSpec> fpgaOptions() { return {}; }

}  // namespace cardsim
