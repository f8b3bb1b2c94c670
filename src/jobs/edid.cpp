// EDID mode: writes a 128- or 256-byte EDID image into the card.
//
// After "#EDID 1\r" (one block) or "#EDID 2\r" (two blocks) every image
// byte goes out alone and the card acknowledges it with '.'; then comes one
// checksum byte, the plain sum of the image bytes modulo 256, and the card
// answers '~' and its verdict, 'S' (stored) or 'E' (refused).  The image is
// not read back: the verdict is the only check of the transfer.  The updater
// does not look inside the image (the blocks carry their own checksums).
#include "jobs/edid.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/elapsed.h"
#include "common/hint.h"
#include "common/scoped_file.h"
#include "common/ticks.h"
#include "jobs/card_bytes.h"
#include "jobs/edid_check.h"
#include "jobs/modes.h"
#include "link/serial_link.h"

namespace {

constexpr DWORD kWaitMs = 5000;  // every wait of the transfer

Outcome failureEnding() {
  std::printf("Unable to write EDID information \n");
  return failedAfterKey();
}

}  // namespace

Outcome ProgramEDID(SerialLink& link, const char* fileName) {
  unsigned char image[300];
  unsigned char checksum = 0;

  if (!link.setTimeouts(SerialLink::kSlice50)) {
    std::printf("Failed to set timeout : error %ld\n", static_cast<long>(link.lastError()));
    return failureEnding();
  }

  const ScopedFile file = openUpdateFile(fileName);
  std::FILE* const fd = file.get();
  if (fd == nullptr) return failureEnding();
  std::rewind(fd);
  const DWORD start = GetTickCount();

  // Whatever an earlier exchange left on the line goes; a card that keeps
  // talking for 5 s is not fit for the transfer.
  if (!drainLine(link, deadlineIn(kWaitMs))) return failureEnding();

  // Reading up to 300 bytes tells a file longer than 256 bytes apart.
  errno = 0;
  const int length = static_cast<int>(std::fread(image, 1, sizeof image, fd));
  if (std::ferror(fd)) printHint("%s could not be read: %s", fileName, std::strerror(errno));
  if (length != 128 && length != 256) {
    std::printf("\nError only file of 128 or 256 bytes can be read\n");
    return failureEnding();
  }
  warnAboutEdid(fileName, image, length);
  std::printf("\n->Program EDID with  %d bytes...\n", length);

  const char* command = length == 128 ? "#EDID 1\r" : "#EDID 2\r";
  link.noteText("card command", command, 8);
  if (!link.writeAll(command, 8)) return failureEnding();
  Sleep(500);

  for (int i = 0; i < length; ++i) {
    const DWORD deadline = deadlineIn(kWaitMs);
    checksum = static_cast<unsigned char>(checksum + image[i]);
    if (!sendByte(link, image[i])) return failureEnding();
    if (awaitCardByte(link, '.', '.', deadline) == 0) return failureEnding();
  }

  link.writeByte(checksum);  // the verdict tells whether it arrived

  if (awaitCardByte(link, '~', '~', deadlineIn(kWaitMs)) == 0) return failureEnding();
  const int verdict = awaitCardByte(link, 'E', 'S', deadlineIn(kWaitMs));
  if (verdict == 0) return failureEnding();

  std::printf(verdict == 'S' ? "Success\n" : "Failed\n");
  printTime(start, 1);
  std::printf("\n");
  return verdict == 'S' ? Outcome::Success : Outcome::Failure;
}

Outcome ProgramDefaultEDID(SerialLink& link) {
  const DWORD start = GetTickCount();
  link.noteText("card command", "#EDID 0\r", 8);
  if (link.writeAll("#EDID 0\r", 8)) {
    Sleep(500);
    printTime(start, 0);
    return Outcome::Success;
  }
  std::printf("Press a key to continue ... ");
  _getch();
  return Outcome::Failure;
}
