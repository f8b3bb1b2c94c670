// Telnet with the COM Port Control Option (RFC 854, 855, 856, 858, 2217):
// the client side of a serial port behind a console server, bytes in and
// bytes out, no I/O.
//
// The stream both ways is data with Telnet commands in it, each starting
// with IAC (0xFF); a data byte 0xFF travels as IAC IAC.
//
//   IAC WILL|WONT|DO|DONT option        option negotiation
//   IAC SB option ... IAC SE            subnegotiation (0xFF inside doubled)
//   IAC other                           NOP, GA, DM and the like: ignored
//
// The client asks for BINARY both ways (an 8-bit line: without it a CR
// would carry a NUL after it), SUPPRESS-GO-AHEAD both ways, and offers
// COM-PORT-OPTION (44).  Under that option the client sends
//
//   IAC SB 44 command value IAC SE
//
// with SET-BAUDRATE (1, 4 bytes, most significant first), SET-DATASIZE (2),
// SET-PARITY (3), SET-STOPSIZE (4), SET-CONTROL (5) and PURGE-DATA (12),
// one byte each; the server answers each with command + 100 and the value
// in force.  Everything the server sends is untrusted: a subnegotiation is
// kept to a bounded length, an answer of the wrong length is ignored, and a
// request for an option the client does not want is refused once per
// request, so that no answer ever grows faster than what came in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace telnet {

constexpr uint8_t kIac = 255;
constexpr uint8_t kDont = 254;
constexpr uint8_t kDo = 253;
constexpr uint8_t kWont = 252;
constexpr uint8_t kWill = 251;
constexpr uint8_t kSb = 250;
constexpr uint8_t kSe = 240;

constexpr uint8_t kOptionBinary = 0;
constexpr uint8_t kOptionEcho = 1;
constexpr uint8_t kOptionSuppressGoAhead = 3;
constexpr uint8_t kOptionComPort = 44;

// COM-PORT-OPTION commands as the client sends them; the server's answer
// carries the same code plus kServerOffset.
enum ComCommand : uint8_t {
  kSignature = 0,
  kSetBaudRate = 1,
  kSetDataSize = 2,
  kSetParity = 3,
  kSetStopSize = 4,
  kSetControl = 5,
  kNotifyLineState = 6,
  kNotifyModemState = 7,
  kFlowControlSuspend = 8,
  kFlowControlResume = 9,
  kSetLineStateMask = 10,
  kSetModemStateMask = 11,
  kPurgeData = 12,
};
constexpr uint8_t kServerOffset = 100;
constexpr int kComCommands = 13;

constexpr uint8_t kParityNone = 1;
constexpr uint8_t kStopBitsOne = 1;
constexpr uint8_t kControlNoFlowControl = 1;
constexpr uint8_t kControlRtsOff = 12;
constexpr uint8_t kPurgeReceiveBuffer = 1;

// Appends `count` data bytes to `out`, each 0xFF doubled.
void escapeData(const uint8_t* data, std::size_t count, std::vector<uint8_t>* out);

// Appends IAC SB 44 `command` `value` IAC SE, 0xFF in the value doubled.
void appendComCommand(uint8_t command, const uint8_t* value, std::size_t length,
                      std::vector<uint8_t>* out);
// SET-BAUDRATE with the rate's four bytes, most significant first.
void appendSetBaudRate(uint32_t rate, std::vector<uint8_t>* out);
// A one-byte command (SET-DATASIZE, SET-PARITY, SET-STOPSIZE, SET-CONTROL,
// PURGE-DATA).
void appendComByte(uint8_t command, uint8_t value, std::vector<uint8_t>* out);

// The server's side of a connection as the client sees it: the state of the
// negotiated options and the latest answer to each COM-PORT command.
class ClientSession {
 public:
  // A subnegotiation longer than this is dropped whole.
  static constexpr std::size_t kMaxSubnegotiation = 64;

  // What the client sends first: WILL and DO BINARY, WILL and DO
  // SUPPRESS-GO-AHEAD, WILL COM-PORT-OPTION.
  void start(std::vector<uint8_t>* out);

  // Takes bytes from the server: data goes to `data`, the answers the
  // negotiation needs go to `reply` (to be sent before anything else).
  void receive(const uint8_t* in, std::size_t count, std::vector<uint8_t>* data,
               std::vector<uint8_t>* reply);

  // An option's state on one side: `local` is the client's own side (it
  // sends with BINARY), the other the server's.
  struct Option {
    bool enabled = false;
    bool pending = false;  // asked, no answer yet
    bool refused = false;  // the peer said no to our request
  };
  const Option& local(uint8_t option) const { return local_[index(option)]; }
  const Option& remote(uint8_t option) const { return remote_[index(option)]; }

  // True once BINARY both ways and COM-PORT-OPTION are agreed.
  bool comPortReady() const;
  // True once the server refused BINARY or COM-PORT-OPTION.
  bool refusedNeededOption() const;

  // Answers to the client's COM-PORT commands: how many have come for
  // `command` (the client's code, 0..12) and the value of the latest.
  struct Answer {
    unsigned count = 0;
    uint32_t value = 0;
  };
  Answer answer(uint8_t command) const {
    return command < kComCommands ? answers_[command] : Answer{};
  }
  // Subnegotiations ignored: too long, of another option, or an answer of
  // the wrong length.
  unsigned ignoredSubnegotiations() const { return ignored_; }

 private:
  enum class State { kData, kAfterIac, kVerb, kSub, kSubAfterIac };
  // Options 0..44 have a slot each; every other option shares the last one,
  // which is never enabled since the client wants none of them.
  static constexpr int kTrackedOptions = 45;
  static int index(uint8_t option) { return option < kTrackedOptions ? option : kTrackedOptions; }
  static bool wantLocal(uint8_t option);
  static bool wantRemote(uint8_t option);

  void ask(uint8_t verb, uint8_t option, std::vector<uint8_t>* out);
  void negotiate(uint8_t verb, uint8_t option, std::vector<uint8_t>* reply);
  void subnegotiation();

  State state_ = State::kData;
  uint8_t verb_ = 0;
  uint8_t sub_[kMaxSubnegotiation];
  std::size_t subLength_ = 0;
  bool subOverflow_ = false;
  Option local_[kTrackedOptions + 1];
  Option remote_[kTrackedOptions + 1];
  Answer answers_[kComCommands];
  unsigned ignored_ = 0;
};

}  // namespace telnet
