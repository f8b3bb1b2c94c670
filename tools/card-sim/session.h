// A Session owns the line while a transfer runs: the FPGA stream, an EDID
// or gamma upload, the microcontroller's boot program.  The firmware hands
// every byte to the open session until it reports that it has finished.
#pragma once

#include <cstdint>
#include <optional>

#include "wire.h"

namespace cardsim {

class Session {
 public:
  virtual ~Session() = default;

  // One byte from the updater, received at the rate the session listens at.
  virtual void onByte(uint8_t b, Wire& w) = 0;

  // Called once the time returned by timer() has come.
  virtual void onTimer(Wire& w) { (void)w; }
  virtual std::optional<Ms> timer() const { return std::nullopt; }

  // True when the line goes back to the card's firmware.
  virtual bool finished() const = 0;

  // The bit rate the card's UART listens at during this session.  Bytes
  // sent at another rate arrive as garbage and are dropped.
  virtual uint32_t listenBaud() const { return 115200; }
};

}  // namespace cardsim
