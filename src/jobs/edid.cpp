// EDID mode: writes a 128- or 256-byte EDID image into the card.
//
// After "#EDID 1\r" (one block) or "#EDID 2\r" (two blocks) every image
// byte goes out alone and the card acknowledges it with '.'; then comes one
// checksum byte, the plain sum of the image bytes modulo 256, and the card
// answers '~' and its verdict, 'S' (stored) or 'E' (refused).  The image is
// not read back: the verdict is the only check of the transfer.  The updater
// does not look inside the image (the blocks carry their own checksums).
#include "jobs/edid.h"

#include <cstdio>

#include "common/elapsed.h"
#include "common/ticks.h"
#include "jobs/card_bytes.h"
#include "jobs/modes.h"
#include "link/serial_port.h"

namespace {

constexpr DWORD kWaitMs = 5000;  // every wait of the transfer
constexpr DWORD kReadSliceMs = 50;

Outcome failureEnding(std::FILE* fd) {
  if (fd != nullptr) std::fclose(fd);
  std::printf("Unable to write EDID information ");
  std::printf("\n");
  std::printf("\nPress any key to continue\n");
  _getch();
  return Outcome::Failure;
}

}  // namespace

Outcome ProgramEDID(const char* fileName) {
  unsigned char vecteur[300];
  unsigned char checksum = 0;

  if (!applyTimeouts(0, 0, kReadSliceMs, 0, kReadSliceMs)) {
    std::printf("Failed to set timeout : error %ld\n", static_cast<long>(GetLastError()));
    return failureEnding(nullptr);
  }

  std::FILE* fd = std::fopen(fileName, "rb");
  if (fd == nullptr) {
    std::printf("/nFile load error\n");
    return failureEnding(nullptr);
  }
  std::rewind(fd);
  const DWORD time = GetTickCount();

  // Whatever an earlier exchange left on the line goes; a card that keeps
  // talking for 5 s is not fit for the transfer.
  DWORD begin = deadlineIn(kWaitMs);
  if (!drainLine(begin)) return failureEnding(fd);

  const int maxadress = static_cast<int>(std::fread(vecteur, 1, sizeof vecteur, fd));
  if (maxadress != 128 && maxadress != 256) {
    std::printf("\nError only file of 128 or 256 bytes can be read\n");
    return failureEnding(fd);
  }
  std::printf("\n->Program EDID with  %d bytes...\n", maxadress);

  const char* command = maxadress == 128 ? "#EDID 1\r" : "#EDID 2\r";
  DWORD written = 0;
  lrc = WriteFile(lport, command, 8, &written, nullptr);
  lnumbytes = written;
  if (!lrc) return failureEnding(fd);
  Sleep(500);

  for (int i = 0; i < maxadress; ++i) {
    begin = deadlineIn(kWaitMs);
    written = 0;
    lrc = WriteFile(lport, &vecteur[i], 1, &written, nullptr);
    lnumbytes = written;
    checksum = static_cast<unsigned char>(checksum + vecteur[i]);
    if (!lrc || written != 1) return failureEnding(fd);
    if (awaitCardByte('.', '.', begin) == 0) return failureEnding(fd);
  }

  WriteFile(lport, &checksum, 1, &written, nullptr);

  if (awaitCardByte('~', '~', deadlineIn(kWaitMs)) == 0) return failureEnding(fd);
  const int verdict = awaitCardByte('E', 'S', deadlineIn(kWaitMs));
  if (verdict == 0) return failureEnding(fd);

  std::printf(verdict == 'S' ? "Success\n" : "Failed\n");
  printTime(time, 1);
  std::printf("\n");
  std::fclose(fd);
  return verdict == 'S' ? Outcome::Success : Outcome::Failure;
}

Outcome ProgramDefaultEDID() {
  const DWORD time = GetTickCount();
  DWORD written = 0;
  lrc = WriteFile(lport, "#EDID 0\r", 8, &written, nullptr);
  lnumbytes = written;
  if (lrc) {
    Sleep(500);
    printTime(time, 0);
    return Outcome::Success;
  }
  std::printf("Press a key to continue ... ");
  _getch();
  return Outcome::Failure;
}
