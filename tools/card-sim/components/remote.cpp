#include "components/remote.h"

namespace cardsim {

void answerCommand(CardContext&, const std::string& line, Wire& w) {
  w.note("command '" + line + "' refused");
  w.send("#NACK\r");
}

void answerLoneCarriageReturn(CardContext&, Wire& w) { w.send(">"); }

std::vector<OptionSpec> remoteOptions() { return {}; }

}  // namespace cardsim
