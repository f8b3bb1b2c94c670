// card-sim: a simulated converter card on a pseudo-terminal.
//
//   card-sim [--link PATH] [--state DIR] [--log FILE] [--line-rate]
//            [--latency-ms N] [card options]
//
// Prints the pseudo-terminal's path, then plays the card until it gets
// SIGINT or SIGTERM.  Point the updater at it with UPDATER_PORT_COM7=PATH.
#include <cstdio>
#include <cstring>
#include <string>

#include "card.h"
#include "exchange_log.h"
#include "options.h"
#include "pty_loop.h"
#include "state_dir.h"

namespace {

const cardsim::OptionSpec kLoopOptions[] = {
    {"link", true, "keep a symlink at PATH pointing to the pseudo-terminal"},
    {"state", true, "keep the card's persistent state (flash, EDID, ...) in DIR"},
    {"log", true, "log every exchange (time, direction, hex) to FILE ('-' for stderr)"},
    {"line-rate", false,
     "pace the bytes both ways at the line's bit rate, ten bits a byte, as a UART does"},
    {"latency-ms", true,
     "hold the card's bytes as a USB serial adapter does: until the line has been quiet "
     "for N ms or 62 bytes fill a packet"},
    {"help", false, "show this help"},
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<cardsim::OptionSpec> known(std::begin(kLoopOptions), std::end(kLoopOptions));
  for (const auto& o : cardsim::allOptions()) known.push_back(o);

  cardsim::Options options;
  std::string error;
  if (!options.parse(argc, argv, known, &error)) {
    std::fprintf(stderr, "card-sim: %s\nTry 'card-sim --help'.\n", error.c_str());
    return 2;
  }
  if (options.has("help")) {
    std::printf("Usage: card-sim [options]\n\nA simulated converter card on a pseudo-terminal.\n\n%s",
                cardsim::optionsHelp(known).c_str());
    return 0;
  }

  cardsim::PtyOptions pty;
  pty.link = options.get("link");
  pty.pacing.lineRate = options.has("line-rate");
  if (options.has("latency-ms")) {
    long ms = options.getInt("latency-ms", -1);
    if (ms < 0 || ms > 1000) {
      std::fprintf(stderr, "card-sim: --latency-ms takes a whole number of milliseconds, 0 to 1000\n");
      return 2;
    }
    pty.pacing.latency = static_cast<cardsim::Ns>(ms) * 1000000u;
  }

  cardsim::ExchangeLog log;
  if (options.has("log") && !log.open(options.get("log"))) {
    std::fprintf(stderr, "card-sim: cannot write the log '%s'\n", options.get("log").c_str());
    return 2;
  }
  cardsim::StateDir state(options.get("state"));
  cardsim::Card card(options, state);
  return cardsim::runPtyLoop(card, log, pty);
}
