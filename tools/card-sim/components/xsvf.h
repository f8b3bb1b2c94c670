// Reading an XSVF stream the way the card's microcontroller does while it
// plays it: one instruction at a time, an opcode byte and then operands
// whose lengths follow from the opcode and from what came before (the
// current XSDRSIZE, the data mask of XSETSDRMASKS, an XSIR length byte).
// The reader says how many bytes it needs next, so the card can ask the
// updater for exactly those.
//
// Instructions (opcode: operands; L = XSDRSIZE bits rounded up to bytes):
//   00 XCOMPLETE        -                   08 XSDRSIZE      4-byte bit count
//   01 XTDOMASK         L                   09 XSDRTDO       L TDI, L TDO
//   02 XSIR             1 bit count, bytes  0A XSETSDRMASKS  L address, L data mask
//   03 XSDR             L                   0B XSDRINC       L, 1 count, count x D
//   04 XRUNTEST         4                   0C-0E XSDRB/C/E  L
//   07 XREPEAT          1                   0F-11 XSDRTDOB/C/E  L, L
//   12 XSTATE, 13 XENDIR, 14 XENDDR  1      15 XSIR2         2 bit count, bytes
//   16 XCOMMENT         text up to a 0 byte 17 XWAIT         1, 1, 4
// (D: the number of one bits of the data mask, rounded up to bytes.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cardsim {

class XsvfReader {
 public:
  enum class State { Reading, Complete, Malformed };

  // Operand pieces the card asks for in one request never exceed this.
  static constexpr std::size_t kMaxPiece = 65535;

  State state() const { return state_; }
  // Bytes of the next piece (the opcode, or operands of known length); at
  // least 1 while Reading.
  std::size_t need() const { return need_; }
  // Takes exactly need() bytes.
  void take(const uint8_t* data, std::size_t n);

  // The instruction that the last take() completed ("XSDRSIZE 16"), else
  // empty; why the stream is malformed once it is.
  const std::string& finished() const { return finished_; }
  const std::string& error() const { return error_; }
  int instructions() const { return instructions_; }
  uint32_t sdrBits() const { return sdrBits_; }

 private:
  void startInstruction(uint8_t opcode);
  void operand(const uint8_t* data, std::size_t n);
  void expect(std::size_t n);
  void done(const std::string& text);
  void malformed(const std::string& why);
  std::size_t sdrBytes() const { return (sdrBits_ + 7) / 8; }

  State state_ = State::Reading;
  std::size_t need_ = 1;
  bool atOpcode_ = true;
  uint8_t opcode_ = 0;
  int step_ = 0;
  uint32_t sdrBits_ = 0;
  uint32_t irBits_ = 0;
  std::vector<uint8_t> dataMask_;
  std::string comment_;
  std::string finished_;
  std::string error_;
  int instructions_ = 0;
};

}  // namespace cardsim
