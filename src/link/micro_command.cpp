#include "link/micro_command.h"

#include <cstdint>
#include <cstdio>
#include <optional>

#include "common/ticks.h"
#include "link/serial_link.h"

namespace {

constexpr DWORD kDrainLimitMs = 5000;
constexpr DWORD kAnswerDeadlineMs = 10000;

}  // namespace

MicroAnswer ReadMicroResponse(SerialLink& link) {
  unsigned char chunk[55];
  int stored = 0;  // bytes of "=M" seen
  int state = 0;
  bool complete = false;
  std::optional<MicroAnswer> code;  // none yet
  const DWORD deadline = deadlineIn(kAnswerDeadlineMs);

  while (!complete && !code && stored <= 254) {
    // Returns as soon as bytes are there; waits for the first one no longer
    // than the deadline.
    DWORD got = 0;
    if (!link.readUntil(chunk, 10, deadline, &got)) {
      code = MicroAnswer::kTimeout;
      got = 0;
    }
    if (deadlinePassed(deadline)) code = MicroAnswer::kTimeout;

    for (DWORD k = 0; k < got && !complete; ++k) {
      const unsigned char c = chunk[k];
      switch (state) {
        case 0:  // hunting for '='
          if (c == '=') {
            ++stored;
            state = 1;
          }
          break;
        case 1:  // seen '='
          if (c == 'M') {
            ++stored;
            state = 2;
          } else if (c != '=') {
            --stored;
            state = 0;
          }
          break;
        default:
          // The status character decides, even in the read in which the
          // deadline passed; the rest of this read is dropped.
          if (c == '*') {
            code = MicroAnswer::kAccepted;
          } else if (c == '~') {
            std::printf("Invalid command from micro ...\n");
            code = MicroAnswer::kUnknownCommand;
          } else {
            std::printf("Invalid answer from micro ... %c\n", c);
            code = MicroAnswer::kInvalidAnswer;
          }
          complete = true;
          break;
      }
    }
  }
  // The loop ends with a code: `stored` never passes 2 ("=M").
  return code.value_or(MicroAnswer::kTimeout);
}

bool sendMicroCmd(SerialLink& link, const unsigned char* msg, int length) {
  // The length is a 16-bit count; one that reads as negative sends nothing.
  const int16_t count = static_cast<int16_t>(length);

  // Late bytes from an earlier exchange would be taken for the answer; a
  // card that keeps talking holds the command up for 5 s at most.
  link.drain(kDrainLimitMs);
  link.noteText("micro command", msg, count > 0 ? static_cast<std::size_t>(count) : 0);
  if (count > 0 && !link.writeAll(msg, static_cast<std::size_t>(count))) {
    // The command text without its CR.
    const int shown = count > 1 && msg[count - 1] == '\r' ? count - 1 : count;
    const char* text = reinterpret_cast<const char*>(msg);
    if (link.lastError() == ERROR_TIMEOUT)
      std::printf("Unable to send command %.*s : the card stopped reading\n", shown, text);
    else
      std::printf("Unable to send command %.*s : error %ld\n", shown, text,
                  static_cast<long>(link.lastError()));
    return false;
  }

  uint16_t timeouts = 0;
  for (;;) {
    const MicroAnswer code = ReadMicroResponse(link);
    if (code == MicroAnswer::kTimeout) {
      if (timeouts > 4) {
        std::printf("Unable to send command. Exit. SendMicro\n");
        return false;
      }
      std::printf("Timeout. Retry...SEndMicro\n");
      ++timeouts;
      continue;
    }
    if (code == MicroAnswer::kUnknownCommand || code == MicroAnswer::kInvalidAnswer) {
      std::printf("\n%.*s\n", count > 0 ? static_cast<int>(count) : 0,
                  reinterpret_cast<const char*>(msg));
      return false;
    }
    return true;
  }
}
