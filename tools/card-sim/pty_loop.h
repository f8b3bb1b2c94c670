// The one I/O loop of card-sim: a pseudo-terminal master that plays the
// card's end of the serial line, feeding the Card and writing its answers
// when they are due.  Waits in poll() for the next byte or the next due
// answer; never spins.
#pragma once

#include <string>

#include "card.h"
#include "exchange_log.h"

namespace cardsim {

struct PtyOptions {
  std::string link;   // symlink kept pointing at the current slave
};

// Runs until SIGINT or SIGTERM.  Prints the slave's path on standard output
// first.  Returns the process exit status.
int runPtyLoop(Card& card, ExchangeLog& log, const PtyOptions& options);

}  // namespace cardsim
