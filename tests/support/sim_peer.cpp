#include "support/sim_peer.h"

#include <stdexcept>

namespace testsupport {

class SimPeer::LineWire : public cardsim::Wire {
 public:
  LineWire(SimPeer& peer, FakeLine& line) : peer_(peer), line_(line) {}
  cardsim::Ms now() const override { return line_.now(); }
  void send(const uint8_t* data, std::size_t n, cardsim::Ms delay) override {
    line_.deliver(std::vector<uint8_t>(data, data + n), delay);
  }
  void note(const std::string& text) override { peer_.notes_.push_back(text); }
  // The card drops the line and comes back as a new device: the updater's
  // open handle dies and only a reopen reaches the card again.
  void replug() override {
    ++peer_.replugs;
    line_.vanish();
    line_.replug();
  }

 private:
  SimPeer& peer_;
  FakeLine& line_;
};

SimPeer::SimPeer(FakeLine& line, const std::vector<std::string>& args, const std::string& stateDir)
    : line_(line), state_(stateDir) {
  std::vector<std::string> storage{"card-sim"};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : storage) argv.push_back(&s[0]);
  std::string error;
  if (!options_.parse(static_cast<int>(argv.size()), argv.data(), cardsim::allOptions(), &error))
    throw std::invalid_argument("card-sim options: " + error);
  card_ = std::make_unique<cardsim::Card>(options_, state_);
  wire_ = std::make_unique<LineWire>(*this, line_);
  line_.setPeer(this);
  card_->powerOn(*wire_);
}

SimPeer::~SimPeer() { line_.setPeer(nullptr); }

void SimPeer::onWrite(const uint8_t* data, std::size_t n, uint32_t baud, FakeLine&) {
  card_->receive(data, n, baud, *wire_);
}

std::optional<uint64_t> SimPeer::nextEvent() const { return card_->timer(); }

void SimPeer::onEvent(FakeLine&) { card_->onTimer(*wire_); }

}  // namespace testsupport
