// FPGA mode: streams an XSVF file to the card, whose microcontroller plays
// it into the FPGA.  The updater does not look into the stream: after
// "#FPGA 1\r" it answers the card's byte requests with the file's bytes in
// file order, so the card alone sets the pace.
//
// Requests from the card (every other byte is ignored):
//   '*'            send the next byte of the file
//   '$' '$' H L    send the next H * 256 + L bytes
//   '$' c          an error notice from the card, printed, the stream goes on
//   '~' c          the end; c == 'S' means the FPGA was programmed
// Before answering, the updater waits for one silent read slice (50 ms),
// which drains trailing bytes of the request.
#include <cstdio>

#include "common/ticks.h"
#include "jobs/modes.h"
#include "link/serial_port.h"

namespace {

constexpr int kChunkSize = 1000;          // file bytes per write
constexpr long kProgressCap = 700000;     // files beyond this show 100 % early
constexpr DWORD kReadSliceMs = 50;        // every read returns after this
constexpr DWORD kRequestByteWaitMs = 1000;  // for the rest of a '$' sequence
constexpr DWORD kPortLostMs = 2000;         // reads failing this long: the port is gone

enum ReadResult { kQuiet = 0, kByte = 1, kPortLost = -1 };

// One read of one byte; a read call that fails is repeated.  kQuiet when
// the read slice passed without a byte.  A port whose every read fails for
// two seconds has gone (a card or adapter unplugged mid-stream): kPortLost,
// rather than retrying for ever at full speed.
ReadResult readByte(unsigned char* b) {
  const DWORD lostAt = deadlineIn(kPortLostMs);
  for (;;) {
    lnumbytes = 0;
    if (ReadFile(lport, b, 1, &lnumbytes, nullptr)) return lnumbytes == 1 ? kByte : kQuiet;
    if (deadlinePassed(lostAt)) return kPortLost;
    Sleep(1);
  }
}

// The rest of a '$' sequence.  The card sends its request in one go, but a
// byte held up in a buffer must not be replaced by the previous one: wait
// for it, up to a second from the request's start.
ReadResult readRequestByte(unsigned char* b, DWORD deadline) {
  for (;;) {
    const ReadResult r = readByte(b);
    if (r != kQuiet) return r;
    if (deadlinePassed(deadline)) return kQuiet;
  }
}

// Reads until one read slice passes in silence.
void drainUntilQuiet() {
  unsigned char b = 0;
  do {
    lnumbytes = 0;
    if (!ReadFile(lport, &b, 1, &lnumbytes, nullptr)) lnumbytes = 0;
  } while (lnumbytes > 0);
}

// Writes `n` bytes, resuming a partial write where it stopped; adds what
// went out to `size`.  False (after the message) when a write fails.
bool writeData(const unsigned char* data, int n, DWORD* size) {
  int index = n;  // bytes still to write
  while (index != 0) {
    const int offset = n - index;
    DWORD written = 0;
    lrc = WriteFile(lport, data + offset, static_cast<DWORD>(index), &written, nullptr);
    lnumbytes = written;
    if (!lrc) {
      std::printf("Failed to write data : error %ld\n", static_cast<long>(GetLastError()));
      return false;
    }
    *size += written;
    index -= static_cast<int>(written);
  }
  return true;
}

// Size of the file as shown by the progress line: at most 700000 bytes.
long progressSize(std::FILE* fd) {
  unsigned char scratch[4096];
  long total = 0;
  std::rewind(fd);
  while (total < kProgressCap) {
    long want = kProgressCap - total;
    if (want > static_cast<long>(sizeof scratch)) want = sizeof scratch;
    const std::size_t got = std::fread(scratch, 1, static_cast<std::size_t>(want), fd);
    total += static_cast<long>(got);
    if (got < static_cast<std::size_t>(want)) break;
  }
  std::rewind(fd);
  return total;
}

// Bytes of the file not yet read, or -1 when it cannot be told.
long remainingBytes(std::FILE* fd, long fileLength) {
  const long at = std::ftell(fd);
  if (at < 0 || fileLength < 0) return -1;
  return fileLength - at;
}

Outcome abortEnding(std::FILE* fd, DWORD size) {
  if (fd != nullptr) std::fclose(fd);
  std::printf("Taille du fichier : %d\n", static_cast<int>(size));
  std::printf("\n/**********************************/\n");
  std::fflush(stdout);
  return Outcome::Failure;
}

Outcome portLost(std::FILE* fd, DWORD size) {
  std::printf("\nFailed to read data : error %ld\n", static_cast<long>(GetLastError()));
  return abortEnding(fd, size);
}

Outcome fileReadError(std::FILE* fd, DWORD size) {
  std::fflush(stdout);
  std::perror("File read error\n");
  return abortEnding(fd, size);
}

}  // namespace

Outcome ProgramFPGA(const char* fileName) {
  unsigned char ucReadBuf[kChunkSize];
  DWORD size = 0;
  int time = 0;
  float percent = 0;
  const char pourcentage = '%';
  int success = 0;
  int finish = 0;
  const char fonction[10] = "#FPGA 1\r";

  if (!applyTimeouts(0, 0, kReadSliceMs, 0, kReadSliceMs)) {
    std::printf("Failed to set timeout : error %ld\n", static_cast<long>(GetLastError()));
    return Outcome::Failure;
  }

  std::FILE* fd = std::fopen(fileName, "rb");
  if (fd == nullptr) return abortEnding(nullptr, size);

  long fileLength = -1;
  if (std::fseek(fd, 0, SEEK_END) == 0) fileLength = std::ftell(fd);
  const long totalSize = progressSize(fd);

  Sleep(1000);
  DWORD written = 0;
  lrc = WriteFile(lport, fonction, 8, &written, nullptr);
  lnumbytes = written;
  if (!lrc) return abortEnding(fd, size);
  Sleep(500);
  std::printf("\n->Programming FPGA...\n");

  while (finish == 0) {
    if (size > static_cast<DWORD>((totalSize / 5000) * time)) {
      percent = totalSize > 0 ? static_cast<float>(static_cast<double>(size) /
                                                        static_cast<double>(totalSize) * 100.0 +
                                                    0.2)
                              : 100.0f;
      if (percent > 100) percent = 100;
      std::printf("%cJob at %0.2f %c", 13, percent, pourcentage);
      ++time;
    }

    const ReadResult request = readByte(&ucReadBuf[0]);
    if (request == kPortLost) return portLost(fd, size);
    if (request == kQuiet) continue;

    switch (ucReadBuf[0]) {
      case '~':
        if (readByte(&ucReadBuf[0]) == kByte && ucReadBuf[0] == 'S') success = 1;
        finish = 1;
        break;

      case '*': {
        drainUntilQuiet();
        const std::size_t got = std::fread(ucReadBuf, 1, 1, fd);
        // Past the end of the file there is no byte to give: stop rather
        // than send one of undefined value.
        if (got != 1 || std::ferror(fd)) return fileReadError(fd, size);
        if (!writeData(ucReadBuf, 1, &size)) return abortEnding(fd, size);
        break;
      }

      case '$': {
        const DWORD deadline = deadlineIn(kRequestByteWaitMs);
        unsigned char second = 0, high = 0, low = 0;
        const ReadResult r = readRequestByte(&second, deadline);
        if (r == kPortLost) return portLost(fd, size);
        if (r == kQuiet) {
          std::printf("\nerror : incomplete request from the card");
          break;
        }
        if (second != '$') {
          std::printf("\nerror : $%c", second);
          break;
        }
        ReadResult r2 = readRequestByte(&high, deadline);
        if (r2 == kByte) r2 = readRequestByte(&low, deadline);
        if (r2 == kPortLost) return portLost(fd, size);
        if (r2 == kQuiet) {
          std::printf("\nerror : incomplete request from the card");
          break;
        }
        long count = static_cast<long>(high) * 256 + low;
        drainUntilQuiet();
        // The whole block must be in the file before any of it goes out.
        const long left = remainingBytes(fd, fileLength);
        if (left >= 0 && left < count) return fileReadError(fd, size);
        // Served in chunks of the buffer's size: the card may ask for up
        // to 65535 bytes at once.
        while (count > 0) {
          const int want = count > kChunkSize ? kChunkSize : static_cast<int>(count);
          const int iReadBufSize = static_cast<int>(std::fread(ucReadBuf, 1, want, fd));
          if (iReadBufSize < want || std::ferror(fd)) return fileReadError(fd, size);
          if (!writeData(ucReadBuf, iReadBufSize, &size)) return abortEnding(fd, size);
          count -= iReadBufSize;
        }
        break;
      }

      default:
        break;
    }
  }

  std::fclose(fd);
  if (success) {
    std::printf("\nSuccess");
    return Outcome::Success;
  }
  std::printf("\nThe card did not confirm success");
  return Outcome::Failure;
}
