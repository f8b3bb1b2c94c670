// Command script lines as the job reads them: pieces of at most 253
// characters.  A command never reaches past its line, a pause is never
// negative.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "jobs/remote_script.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  int wait = 0;
  std::string piece;
  auto take = [&] {
    const char* line = piece.c_str();
    switch (scriptLineKind(line)) {
      case ScriptLine::Command:
        if (commandLength(line) > std::strlen(line)) __builtin_trap();
        break;
      case ScriptLine::Pause:
        readPause(line, &wait);
        if (wait < 0) __builtin_trap();
        break;
      default:
        break;
    }
    piece.clear();
  };
  for (std::size_t i = 0; i < size; ++i) {
    piece.push_back(static_cast<char>(data[i]));
    if (data[i] == '\n' || piece.size() == 253) take();
  }
  if (!piece.empty()) take();
  return 0;
}
