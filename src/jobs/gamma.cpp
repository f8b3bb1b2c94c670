// GAMMA mode: sends a gamma table of 1024 red-green-blue lines to the card.
//
// The whole file is checked before anything goes to the card.  After
// "#GAMMA 3 0\r" each of the 3072 ten-bit values goes out as two raw bytes,
// high byte first, and the card acknowledges it with '.'; then one checksum
// byte (the sum of all value bytes modulo 256), and the card answers '~'
// and its verdict, 'S' (stored) or 'E' (refused).  The port keeps the
// time-outs it was opened with.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/hint.h"
#include "common/scoped_file.h"
#include "common/ticks.h"
#include "jobs/card_bytes.h"
#include "jobs/gamma_table.h"
#include "jobs/modes.h"
#include "link/serial_link.h"

namespace {

constexpr DWORD kDrainMs = 5000;   // both drains together
constexpr DWORD kValueMs = 60000;  // per value, its acknowledgement included
constexpr DWORD kEndMs = 5000;     // for '~' and for the verdict
constexpr int kLinePiece = 255;    // characters per line read

}  // namespace

Outcome ProgramGamma(SerialLink& link, const char* fileName) {
  const ScopedFile file = openUpdateFile(fileName);
  std::FILE* const fd = file.get();
  if (fd == nullptr) return failedAfterKey();
  std::rewind(fd);

  const DWORD drainDeadline = deadlineIn(kDrainMs);
  if (!drainLine(link, drainDeadline)) return failedAfterKey();

  char line[kLinePiece + 1];
  std::memset(line, 0, sizeof line);
  GammaTable table;
  std::printf("\n->Analysing Gamma File...");
  while (std::fgets(line, sizeof line, fd) != nullptr) {
    if (table.addLine(line) == GammaLineResult::OutOfRange) {
      std::printf("\nError, the RGB value must be between 0 and 1023.");
      return failedAfterKey();
    }
  }
  if (std::ferror(fd)) printHint("%s could not be read: %s", fileName, std::strerror(errno));
  if (!table.complete()) {
    std::printf("Gamma File error -> The file contains %d lines (only 1024 lines are accepted)",
                table.lines());
    return failedAfterKey();
  }
  std::printf("OK");
  std::printf("\n->Sending Gamma Data...");

  link.noteText("card command", "#GAMMA 3 0\r", 11);
  if (!link.writeAll("#GAMMA 3 0\r", 11)) return failedAfterKey();
  Sleep(100);
  if (!drainLine(link, drainDeadline)) return failedAfterKey();

  unsigned char bytes[2 * kGammaValues];
  table.wireBytes(bytes);
  unsigned char checksum = 0;
  for (int i = 0; i < kGammaValues; ++i) {
    const DWORD deadline = deadlineIn(kValueMs);
    const unsigned char high = bytes[2 * i];
    const unsigned char low = bytes[2 * i + 1];
    link.writeByte(high);  // the low byte's write decides
    const bool sent = sendByte(link, low);
    checksum = static_cast<unsigned char>(checksum + low + high);
    if (!sent) {
      std::printf("ERROR 0");
      return failedAfterKey();
    }
    // A card that gives up on the table ends the transfer early with '~'
    // and its verdict instead of '.': waiting out the value's minute for a
    // '.' that cannot come would only delay the failure.
    const int ack = awaitCardByte(link, '.', '~', deadline);
    if (ack == 0) {
      std::printf("ERROR 1");
      return failedAfterKey();
    }
    if (ack == '~') {
      awaitCardByte(link, 'E', 'S', deadlineIn(kEndMs));
      std::printf("Failed\n");
      return failedAfterKey();
    }
  }

  link.writeByte(checksum);  // the verdict tells whether it arrived

  if (awaitCardByte(link, '~', '~', deadlineIn(kEndMs)) == 0) {
    std::printf("\nERROR 2");
    return failedAfterKey();
  }
  const int verdict = awaitCardByte(link, 'E', 'S', deadlineIn(kEndMs));
  if (verdict == 0) {
    std::printf("\nERROR 3");
    return failedAfterKey();
  }
  std::printf(verdict == 'S' ? "Success\n" : "Failed\n");
  std::printf("\n");
  return verdict == 'S' ? Outcome::Success : Outcome::Failure;
}
