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
// which drains trailing bytes of the request.  A card that stops taking the
// answer's bytes ends the run: nothing may move for 3 s.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/progress_line.h"
#include "common/scoped_file.h"
#include "common/ticks.h"
#include "jobs/modes.h"
#include "link/serial_link.h"

namespace {

constexpr int kChunkSize = 1000;          // file bytes per write
constexpr long kProgressCap = 700000;     // files beyond this show 100 % early
constexpr DWORD kRequestByteWaitMs = 1000;  // for the rest of a '$' sequence
constexpr DWORD kPortLostMs = 2000;         // reads failing this long: the port is gone
constexpr DWORD kStallMs = SerialLink::kDefaultStallMs;  // writes moving nothing this long

enum ReadResult { kQuiet = 0, kByte = 1, kPortLost = -1 };

// One read of one byte under the 50 ms read slice; a read call that fails
// is repeated.  kQuiet when the slice passed without a byte.  A port whose
// every read fails for two seconds has gone (a card or adapter unplugged
// mid-stream): kPortLost, rather than retrying for ever.
ReadResult readByte(SerialLink& link, unsigned char* b) {
  const DWORD lostAt = deadlineIn(kPortLostMs);
  for (;;) {
    DWORD got = 0;
    if (link.read(b, 1, &got)) return got == 1 ? kByte : kQuiet;
    if (deadlinePassed(lostAt)) return kPortLost;
    Sleep(1);
  }
}

// The rest of a '$' sequence.  The card sends its request in one go, but a
// byte held up in a buffer must not be replaced by the previous one: wait
// for it, up to a second from the request's start.
ReadResult readRequestByte(SerialLink& link, unsigned char* b, DWORD deadline) {
  for (;;) {
    const ReadResult r = readByte(link, b);
    if (r != kQuiet) return r;
    if (deadlinePassed(deadline)) return kQuiet;
  }
}

// Reads single bytes until one read slice passes in silence: the pause
// before each answer is that one silent slice.
void waitForQuietSlice(SerialLink& link) {
  unsigned char b = 0;
  DWORD got = 0;
  do {
    if (!link.read(&b, 1, &got)) got = 0;
  } while (got > 0);
}

// Writes `n` bytes, resuming a partial write where it stopped; adds what
// went out to `size`.  False (after the message) when a write fails or the
// card stops taking bytes.
bool writeData(SerialLink& link, const unsigned char* data, int n, DWORD* size) {
  std::size_t sent = 0;
  const bool ok = link.writeAll(data, static_cast<std::size_t>(n), kStallMs, &sent);
  *size += static_cast<DWORD>(sent);
  if (ok) return true;
  if (link.lastError() == ERROR_TIMEOUT)
    std::printf("Failed to write data : the card stopped reading (nothing went out for %lu s)\n",
                static_cast<unsigned long>(kStallMs / 1000));
  else
    std::printf("Failed to write data : error %ld\n", static_cast<long>(link.lastError()));
  return false;
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

Outcome abortEnding(DWORD size) {
  std::printf("Taille du fichier : %d\n", static_cast<int>(size));
  std::printf("\n/**********************************/\n");
  std::fflush(stdout);
  return Outcome::Failure;
}

Outcome portLost(SerialLink& link, DWORD size) {
  std::printf("\nFailed to read data : error %ld\n", static_cast<long>(link.lastError()));
  return abortEnding(size);
}

// The card asked for bytes the file could not give.  Said on standard
// error in perror's shape, "File read error\n: " and then what happened:
// the file ended (the byte where it did and how many more the card wanted)
// or the system's reason for a failed read, taken right after that read.
Outcome fileReadError(std::FILE* fd, const char* fileName, long wanted, DWORD size) {
  const int readError = std::ferror(fd) ? errno : 0;
  const long at = std::ftell(fd);
  std::fflush(stdout);
  if (readError != 0)
    std::fprintf(stderr, "File read error\n: %s could not be read at byte %ld: %s\n", fileName,
                 at, std::strerror(readError));
  else
    std::fprintf(stderr,
                 "File read error\n: %s ends after %ld bytes, the card asked for %ld more\n",
                 fileName, at, wanted);
  std::fflush(stderr);
  return abortEnding(size);
}

// How serving one request of the card ended.
enum class Served { kDone, kPortLost, kFileError, kWriteFailed };

// '*': the next byte of the file.  On kFileError `missing` is what the
// card asked for and the file could not give.
Served serveByte(SerialLink& link, std::FILE* fd, DWORD* size, long* missing) {
  waitForQuietSlice(link);
  unsigned char byte = 0;
  // Past the end of the file there is no byte to give: stop rather than
  // send one of undefined value.
  errno = 0;
  if (std::fread(&byte, 1, 1, fd) != 1 || std::ferror(fd)) {
    *missing = 1;
    return Served::kFileError;
  }
  return writeData(link, &byte, 1, size) ? Served::kDone : Served::kWriteFailed;
}

// '$' and what follows: "$$" H L asks for the next H * 256 + L bytes; any
// other second byte is an error notice of the card, printed, and the stream
// goes on.
Served serveBlock(SerialLink& link, std::FILE* fd, long fileLength, DWORD* size, long* missing) {
  const DWORD deadline = deadlineIn(kRequestByteWaitMs);
  unsigned char second = 0, high = 0, low = 0;
  const ReadResult r = readRequestByte(link, &second, deadline);
  if (r == kPortLost) return Served::kPortLost;
  if (r == kQuiet) {
    std::printf("\nerror : incomplete request from the card");
    return Served::kDone;
  }
  if (second != '$') {
    std::printf("\nerror : $%c", second);
    return Served::kDone;
  }
  ReadResult r2 = readRequestByte(link, &high, deadline);
  if (r2 == kByte) r2 = readRequestByte(link, &low, deadline);
  if (r2 == kPortLost) return Served::kPortLost;
  if (r2 == kQuiet) {
    std::printf("\nerror : incomplete request from the card");
    return Served::kDone;
  }
  long count = static_cast<long>(high) * 256 + low;
  waitForQuietSlice(link);
  // The whole block must be in the file before any of it goes out.
  const long left = remainingBytes(fd, fileLength);
  if (left >= 0 && left < count) {
    // The bytes the file still has would not be sent: the card is told
    // nothing, and the run names where the file ends.
    std::fseek(fd, 0, SEEK_END);
    *missing = count - left;
    return Served::kFileError;
  }
  // Served in chunks of the buffer's size: the card may ask for up to 65535
  // bytes at once.
  unsigned char chunk[kChunkSize];
  while (count > 0) {
    const int want = count > kChunkSize ? kChunkSize : static_cast<int>(count);
    errno = 0;
    const int read = static_cast<int>(std::fread(chunk, 1, want, fd));
    if (read < want || std::ferror(fd)) {
      *missing = count - read;
      return Served::kFileError;
    }
    if (!writeData(link, chunk, read, size)) return Served::kWriteFailed;
    count -= read;
  }
  return Served::kDone;
}

// The run's end after a request that could not be served.
Outcome servingFailed(Served served, SerialLink& link, std::FILE* fd, const char* fileName,
                      long missing, DWORD size) {
  if (served == Served::kPortLost) return portLost(link, size);
  if (served == Served::kFileError) return fileReadError(fd, fileName, missing, size);
  return abortEnding(size);
}

// At most one progress line a pass: after a large block the line catches
// up one step per pass.
void showProgress(ProgressSink* sink, ProgressPace& pace, DWORD size, long totalSize) {
  if (!pace.due(size, totalSize)) return;
  float percent =
      totalSize > 0
          ? static_cast<float>(static_cast<double>(size) / static_cast<double>(totalSize) * 100.0 +
                               0.2)
          : 100.0f;
  if (percent > 100) percent = 100;
  printProgress(sink, percent);
}

}  // namespace

Outcome ProgramFPGA(SerialLink& link, const char* fileName) {
  DWORD size = 0;       // bytes of the file sent so far
  ProgressPace pace;
  bool success = false;
  bool finished = false;
  constexpr char kCommand[] = "#FPGA 1\r";

  if (!link.setTimeouts(SerialLink::kSlice50)) {
    std::printf("Failed to set timeout : error %ld\n", static_cast<long>(link.lastError()));
    return Outcome::Failure;
  }

  const ScopedFile file(fileName, "rb");
  std::FILE* const fd = file.get();
  if (fd == nullptr) return abortEnding(size);

  long fileLength = -1;
  if (std::fseek(fd, 0, SEEK_END) == 0) fileLength = std::ftell(fd);
  const long totalSize = progressSize(fd);

  Sleep(1000);
  link.noteText("card command", kCommand, 8);
  if (!link.writeAll(kCommand, 8, kStallMs)) return abortEnding(size);
  Sleep(500);
  std::printf("\n->Programming FPGA...\n");

  while (!finished) {
    showProgress(link.progressSink(), pace, size, totalSize);
    unsigned char request = 0;
    const ReadResult read = readByte(link, &request);
    if (read == kPortLost) return portLost(link, size);
    if (read == kQuiet) continue;

    Served served = Served::kDone;
    long missing = 0;
    if (request == '~') {
      success = readByte(link, &request) == kByte && request == 'S';
      finished = true;
    } else if (request == '*') {
      served = serveByte(link, fd, &size, &missing);
    } else if (request == '$') {
      served = serveBlock(link, fd, fileLength, &size, &missing);
    }
    if (served != Served::kDone)
      return servingFailed(served, link, fd, fileName, missing, size);
  }

  if (success) {
    std::printf("\nSuccess");
    return Outcome::Success;
  }
  std::printf("\nThe card did not confirm success");
  return Outcome::Failure;
}
