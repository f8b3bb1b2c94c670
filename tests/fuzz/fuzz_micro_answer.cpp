// The micro command answers, with the input as the card's bytes (see
// card_script.h).  First input byte: even, ReadMicroResponse alone; odd,
// sendMicroCmd of the command the byte picks.
//  - the answer code is one of the four;
//  - the command goes out once, as given, and its result is 1 only when
//    the card sent "=M*".
#include <cstddef>
#include <cstdint>
#include <string>

#include "card_script.h"
#include "link/micro_command.h"
#include "link/serial_link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1 || size > 4096) return 0;
  static const char* const kCommands[] = {"=MP\r", "=MR\r", "=MA\r", "=ME\r"};
  const auto script = fuzzsupport::parseScript(data + 1, size - 1);
  fuzzsupport::ScriptedPort port(script, 30000);
  SerialLink& link = port.link;
  if ((data[0] & 1) == 0) {
    const MicroAnswer code = ReadMicroResponse(link);
    if (code != MicroAnswer::kAccepted && code != MicroAnswer::kUnknownCommand &&
        code != MicroAnswer::kInvalidAnswer && code != MicroAnswer::kTimeout)
      __builtin_trap();
    return 0;
  }
  const char* command = kCommands[(data[0] >> 1) & 3];
  const bool accepted = sendMicroCmd(link, reinterpret_cast<const unsigned char*>(command), 4);
  if (port.line.writtenText() != command) __builtin_trap();
  if (accepted) {
    std::string sent;
    for (const auto& b : script) sent.append(b.bytes.begin(), b.bytes.end());
    if (sent.find("=M*") == std::string::npos) __builtin_trap();
  }
  return 0;
}
