// The FPGA request reader: ProgramFPGA streams a small file while the input
// plays the card's requests ('*', "$$" H L, '$' c, '~' c, anything else;
// see card_script.h).  The request loop waits for the card without a limit
// of its own, so the script's end unplugs the line after two seconds of
// silence, and the run ends through the lost-port path.
//  - after "#FPGA 1\r" the updater sends only the file's bytes, in file
//    order, never past its end;
//  - success is claimed only when the card sent "~S".
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "card_script.h"
#include "jobs/modes.h"
#include "link/serial_link.h"

namespace {

constexpr char kCommand[] = "#FPGA 1\r";

struct StreamFile {
  std::string path;
  std::vector<uint8_t> bytes;
};

// A 600-byte file with every byte value, written once per process.
const StreamFile& streamFile() {
  static const StreamFile file = [] {
    StreamFile f;
    const char* dir = std::getenv("TMPDIR");
    f.path = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/fuzz_fpga_" +
             std::to_string(getpid()) + ".xsvf";
    for (int i = 0; i < 600; ++i) f.bytes.push_back(static_cast<uint8_t>(i * 7 + 3));
    std::FILE* out = std::fopen(f.path.c_str(), "wb");
    if (out == nullptr || std::fwrite(f.bytes.data(), 1, f.bytes.size(), out) != f.bytes.size())
      std::abort();
    std::fclose(out);
    std::atexit([] { std::remove(streamFile().path.c_str()); });
    return f;
  }();
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size > 4096) return 0;
  const StreamFile& file = streamFile();
  const auto script = fuzzsupport::parseScript(data, size);
  fuzzsupport::ScriptedPort port(script, 2000);
  const testsupport::FakeLine& line = port.line;
  const Outcome outcome = ProgramFPGA(port.link, file.path.c_str());

  const std::size_t command = sizeof kCommand - 1;
  if (line.written.size() < command ||
      std::string(line.written.begin(), line.written.begin() + command) != kCommand)
    __builtin_trap();
  const std::size_t sent = line.written.size() - command;
  if (sent > file.bytes.size() ||
      !std::equal(line.written.begin() + command, line.written.end(), file.bytes.begin()))
    __builtin_trap();
  if (outcome == Outcome::Success) {
    std::string all;
    for (const auto& b : script) all.append(b.bytes.begin(), b.bytes.end());
    if (all.find("~S") == std::string::npos) __builtin_trap();
  }
  return 0;
}
