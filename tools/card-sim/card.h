// The simulated converter card as a whole: the microcontroller's firmware
// with its command channel, and the components it hands the line to.
//
// Sans-IO: feed it the bytes that arrive (with the bit rate the line runs
// at), let it act when its timer is due, and it answers through the Wire.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "card_context.h"
#include "components/vxp.h"
#include "options.h"
#include "session.h"
#include "state_dir.h"
#include "wire.h"

namespace cardsim {

// Every option card-sim knows: the firmware's own and each component's.
std::vector<OptionSpec> allOptions();

class Card {
 public:
  Card(const Options& options, StateDir& state);
  ~Card();

  // Must be called once before the first byte (starts --boot-mode).
  void powerOn(Wire& w);
  // Switched off and on again: whatever had the line is dropped, and the
  // card starts as it would at power-on from its flash (--boot-mode counts
  // only for the first power-on).
  void powerCycle(Wire& w);

  // Bytes from the updater; `lineBaud` is the rate the line was set to
  // when they were read.
  void receive(const uint8_t* data, std::size_t n, uint32_t lineBaud, Wire& w);

  std::optional<Ms> timer() const;
  void onTimer(Wire& w);

  // The bit rate the card listens at now.
  uint32_t listenBaud() const;

  CardContext& context() { return context_; }

 private:
  enum class Parse { Idle, Command, Equals, Micro, MicroEnd, Frame };

  void firmwareByte(uint8_t b, Wire& w);
  void command(const std::string& line, Wire& w);
  bool commandFault(const char* exchange, const std::string& line, Wire& w);
  void oldFirmwareKey(uint8_t b, Wire& w);
  void startSession(std::unique_ptr<Session> s, const char* what, Wire& w);
  void endFinishedSession(Wire& w);

  CardContext context_;
  std::unique_ptr<Vxp> vxp_;
  std::unique_ptr<Session> session_;
  Parse parse_ = Parse::Idle;
  std::string text_;
  std::vector<uint8_t> frame_;
  char microLetter_ = 0;
  bool microModeAnnounced_ = false;
  int oldKeys_ = 0;  // progress through the old firmware's CR '1' '$'
};

}  // namespace cardsim
