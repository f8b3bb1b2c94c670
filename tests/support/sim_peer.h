// The simulated card as the far end of a FakeLine: the updater's protocol
// code runs in-process against card-sim's components on the virtual clock.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "card.h"
#include "options.h"
#include "state_dir.h"
#include "support/fake_line.h"

namespace testsupport {

class SimPeer : public Peer {
 public:
  // `args` are card-sim options ("--model", "HDMITOSDI", ...).
  explicit SimPeer(FakeLine& line, const std::vector<std::string>& args = {},
                   const std::string& stateDir = "");
  ~SimPeer() override;

  void onWrite(const uint8_t* data, std::size_t n, uint32_t baud, FakeLine& line) override;
  std::optional<uint64_t> nextEvent() const override;
  void onEvent(FakeLine& line) override;

  cardsim::Card& card() { return *card_; }
  cardsim::StateDir& state() { return state_; }
  const std::vector<std::string>& notes() const { return notes_; }
  int replugs = 0;  // times the card dropped the line (--replug)

 private:
  class LineWire;
  FakeLine& line_;
  cardsim::Options options_;
  cardsim::StateDir state_;
  std::unique_ptr<cardsim::Card> card_;
  std::unique_ptr<LineWire> wire_;
  std::vector<std::string> notes_;
};

}  // namespace testsupport
