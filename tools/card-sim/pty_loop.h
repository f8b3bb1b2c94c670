// The one I/O loop of card-sim: a pseudo-terminal master that plays the
// card's end of the serial line, feeding the Card and writing its answers
// when they are due.  With --line-rate or --latency-ms the bytes of both
// directions pass through a LinePacer and cross when a real line would
// deliver them.  Waits in poll() for the next byte, answer or timer; never
// spins.
#pragma once

#include <string>

#include "card.h"
#include "exchange_log.h"
#include "line_pacer.h"

namespace cardsim {

struct PtyOptions {
  std::string link;     // symlink kept pointing at the current slave
  PacerSettings pacing;  // both off: bytes cross as fast as the pty carries them
};

// Runs until SIGINT or SIGTERM.  Prints the slave's path on standard output
// first.  Returns the process exit status.
int runPtyLoop(Card& card, ExchangeLog& log, const PtyOptions& options);

}  // namespace cardsim
