// The command channel's answers, with the input as the card's bytes (see
// card_script.h).  First input byte, modulo 3: ReadCmd alone into a buffer
// of 3 to 66 bytes (the byte's upper bits), SendCmd of "#DEVTYPE\r", or the
// whole identification (DevType).
//  - an answer never runs past its buffer, and a complete one is framed:
//    '#' first, no '#' after it, CR and terminator last;
//  - a command goes out once, as given;
//  - identification names a known model, an old firmware or a failure, and
//    leaves a terminated version word.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "card_script.h"
#include "link/command_channel.h"
#include "link/identification.h"
#include "link/serial_link.h"

namespace {

// The card's bytes may include NUL: the frame ends at its CR.
void checkFramed(const char* answer, std::size_t capacity) {
  const void* cr = std::memchr(answer, '\r', capacity);
  if (cr == nullptr) __builtin_trap();
  const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(cr) - answer);
  if (end < 1 || end + 1 >= capacity || answer[end + 1] != '\0' || answer[0] != '#')
    __builtin_trap();
  if (std::memchr(answer + 1, '#', end - 1) != nullptr) __builtin_trap();
}

void readOnce(SerialLink& link, uint8_t pick) {
  const std::size_t capacity = 3 + (pick >> 2);
  auto answer = std::make_unique<char[]>(capacity);  // exact size for the sanitizer
  const ReadCmdStatus status = ReadCmd(link, answer.get(), capacity);
  if (status != ReadCmdStatus::kOverflow && status != ReadCmdStatus::kReadError &&
      status != ReadCmdStatus::kTimeout && status != ReadCmdStatus::kComplete)
    __builtin_trap();
  if (status == ReadCmdStatus::kComplete) checkFramed(answer.get(), capacity);
}

void sendOnce(SerialLink& link, testsupport::FakeLine& line) {
  constexpr std::size_t kCapacity = 60;
  auto answer = std::make_unique<char[]>(kCapacity);
  const SendCmdResult r = SendCmd(link, "#DEVTYPE\r", 9, answer.get(), kCapacity);
  if (r == SendCmdResult::kAnswer) checkFramed(answer.get(), kCapacity);
  else if (r != SendCmdResult::kNoAnswer && r != SendCmdResult::kPortFailure) __builtin_trap();
  if (line.writtenText() != "#DEVTYPE\r") __builtin_trap();
}

void identifyOnce(SerialLink& link) {
  CardIdentity identity;
  const DevTypeResult r = DevType(link, &identity);
  const bool known = r == DevTypeResult::kModel;
  if (!known && r != DevTypeResult::kNoCommunication && r != DevTypeResult::kOldFirmware &&
      r != DevTypeResult::kUnknownModel)
    __builtin_trap();
  if (known != (identity.model >= 1 && identity.model <= 6)) __builtin_trap();
  if (!known && identity.model != 0) __builtin_trap();
  if (strnlen(identity.firmwareVersion, sizeof identity.firmwareVersion) ==
      sizeof identity.firmwareVersion)
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1 || size > 4096) return 0;
  fuzzsupport::ScriptedPort port(fuzzsupport::parseScript(data + 1, size - 1), 30000);
  switch (data[0] % 3) {
    case 0: readOnce(port.link, data[0]); break;
    case 1: sendOnce(port.link, port.line); break;
    default: identifyOnce(port.link); break;
  }
  return 0;
}
