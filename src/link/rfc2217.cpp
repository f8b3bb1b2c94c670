#include "link/rfc2217.h"

namespace telnet {

void escapeData(const uint8_t* data, std::size_t count, std::vector<uint8_t>* out) {
  for (std::size_t i = 0; i < count; ++i) {
    out->push_back(data[i]);
    if (data[i] == kIac) out->push_back(kIac);
  }
}

void appendComCommand(uint8_t command, const uint8_t* value, std::size_t length,
                      std::vector<uint8_t>* out) {
  out->insert(out->end(), {kIac, kSb, kOptionComPort, command});
  escapeData(value, length, out);
  out->insert(out->end(), {kIac, kSe});
}

void appendSetBaudRate(uint32_t rate, std::vector<uint8_t>* out) {
  const uint8_t value[4] = {static_cast<uint8_t>(rate >> 24), static_cast<uint8_t>(rate >> 16),
                            static_cast<uint8_t>(rate >> 8), static_cast<uint8_t>(rate)};
  appendComCommand(kSetBaudRate, value, sizeof value, out);
}

void appendComByte(uint8_t command, uint8_t value, std::vector<uint8_t>* out) {
  appendComCommand(command, &value, 1, out);
}

// The client sends 8-bit data, suppresses go-ahead and drives the port.
bool ClientSession::wantLocal(uint8_t option) {
  return option == kOptionBinary || option == kOptionSuppressGoAhead || option == kOptionComPort;
}

// The server sends 8-bit data and suppresses go-ahead.  It must not echo:
// the card's answers would be mixed with the client's own bytes.
bool ClientSession::wantRemote(uint8_t option) {
  return option == kOptionBinary || option == kOptionSuppressGoAhead;
}

void ClientSession::ask(uint8_t verb, uint8_t option, std::vector<uint8_t>* out) {
  Option& side = (verb == kWill || verb == kWont) ? local_[index(option)] : remote_[index(option)];
  side.pending = true;
  out->insert(out->end(), {kIac, verb, option});
}

void ClientSession::start(std::vector<uint8_t>* out) {
  ask(kWill, kOptionBinary, out);
  ask(kDo, kOptionBinary, out);
  ask(kWill, kOptionSuppressGoAhead, out);
  ask(kDo, kOptionSuppressGoAhead, out);
  ask(kWill, kOptionComPort, out);
}

bool ClientSession::comPortReady() const {
  return local(kOptionBinary).enabled && remote(kOptionBinary).enabled &&
         local(kOptionComPort).enabled;
}

bool ClientSession::refusedNeededOption() const {
  return local(kOptionBinary).refused || remote(kOptionBinary).refused ||
         local(kOptionComPort).refused;
}

// One negotiation from the server (RFC 854's rules, without loops): a
// request for a state already in force, or the answer to the client's own
// request, is not answered; a wanted option is agreed once; an unwanted one
// is refused, once per request.
void ClientSession::negotiate(uint8_t verb, uint8_t option, std::vector<uint8_t>* reply) {
  const bool enable = verb == kWill || verb == kDo;
  const bool aboutLocal = verb == kDo || verb == kDont;
  Option& side = aboutLocal ? local_[index(option)] : remote_[index(option)];
  const bool wanted = aboutLocal ? wantLocal(option) : wantRemote(option);
  const uint8_t yes = aboutLocal ? kWill : kDo;
  const uint8_t no = aboutLocal ? kWont : kDont;
  if (enable) {
    if (!wanted) {
      reply->insert(reply->end(), {kIac, no, option});
      return;
    }
    if (side.enabled) return;
    side.enabled = true;
    side.refused = false;
    if (side.pending)
      side.pending = false;
    else
      reply->insert(reply->end(), {kIac, yes, option});
    return;
  }
  if (side.pending) {
    side.pending = false;
    side.refused = true;
  }
  if (side.enabled) {
    side.enabled = false;
    reply->insert(reply->end(), {kIac, no, option});
  }
}

// IAC SB option ... IAC SE, with the doubled 0xFF already undone.
void ClientSession::subnegotiation() {
  if (subOverflow_ || subLength_ < 2 || sub_[0] != kOptionComPort || sub_[1] < kServerOffset ||
      sub_[1] >= kServerOffset + kComCommands) {
    ++ignored_;
    return;
  }
  const uint8_t command = static_cast<uint8_t>(sub_[1] - kServerOffset);
  const std::size_t length = subLength_ - 2;
  const uint8_t* value = sub_ + 2;
  std::size_t expected = 1;
  if (command == kSetBaudRate) expected = 4;
  if (command == kFlowControlSuspend || command == kFlowControlResume) expected = 0;
  if (command != kSignature && length != expected) {
    ++ignored_;
    return;
  }
  Answer& answer = answers_[command];
  answer.value = 0;
  if (command != kSignature)
    for (std::size_t i = 0; i < length; ++i) answer.value = (answer.value << 8) | value[i];
  ++answer.count;
}

void ClientSession::receive(const uint8_t* in, std::size_t count, std::vector<uint8_t>* data,
                            std::vector<uint8_t>* reply) {
  for (std::size_t i = 0; i < count; ++i) {
    const uint8_t byte = in[i];
    switch (state_) {
      case State::kData:
        if (byte == kIac)
          state_ = State::kAfterIac;
        else
          data->push_back(byte);
        break;
      case State::kSubAfterIac:
        if (byte == kIac) {
          if (subLength_ < kMaxSubnegotiation)
            sub_[subLength_++] = kIac;
          else
            subOverflow_ = true;
          state_ = State::kSub;
          break;
        }
        if (byte == kSe) {
          subnegotiation();
          state_ = State::kData;
          break;
        }
        // IAC and anything but SE or IAC ends a subnegotiation that was
        // never closed: it is dropped, and the byte is a command.
        ++ignored_;
        state_ = State::kAfterIac;
        [[fallthrough]];
      case State::kAfterIac:
        if (byte == kIac) {
          data->push_back(kIac);
          state_ = State::kData;
        } else if (byte >= kWill) {  // WILL, WONT, DO, DONT
          verb_ = byte;
          state_ = State::kVerb;
        } else if (byte == kSb) {
          subLength_ = 0;
          subOverflow_ = false;
          state_ = State::kSub;
        } else {
          state_ = State::kData;  // NOP, GA, DM, a stray SE: nothing to do
        }
        break;
      case State::kVerb:
        negotiate(verb_, byte, reply);
        state_ = State::kData;
        break;
      case State::kSub:
        if (byte == kIac) {
          state_ = State::kSubAfterIac;
        } else if (subLength_ < kMaxSubnegotiation) {
          sub_[subLength_++] = byte;
        } else {
          subOverflow_ = true;
        }
        break;
    }
  }
}

}  // namespace telnet
