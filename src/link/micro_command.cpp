#include "link/micro_command.h"

#include <cstdint>
#include <cstdio>

#include "common/ticks.h"
#include "link/serial_port.h"

namespace {

constexpr DWORD kDrainLimitMs = 5000;
constexpr DWORD kAnswerDeadlineMs = 10000;
constexpr DWORD kStalledWriteMs = 3000;

}  // namespace

int ReadMicroResponse() {
  unsigned char recMsg[55];
  int i = 0;
  int state = 0;
  bool complete = false;
  int error = 0;
  const DWORD deadline = deadlineIn(kAnswerDeadlineMs);

  while (!complete && error == 0 && i <= 254) {
    DWORD got = 0;
    if (!ReadFile(lport, recMsg, 10, &got, nullptr)) {
      error = kMicroTimeout;
      got = 0;
    }
    lnumbytes = got;
    if (got > 10) got = 10;
    if (deadlinePassed(deadline)) error = kMicroTimeout;

    for (DWORD k = 0; k < got && !complete; ++k) {
      const unsigned char c = recMsg[k];
      switch (state) {
        case 0:
          if (c == '=') {
            ++i;
            state = 1;
          }
          break;
        case 1:
          if (c == 'M') {
            ++i;
            state = 2;
          } else if (c != '=') {
            --i;
            state = 0;
          }
          break;
        default:
          // The status character decides, even in the read in which the
          // deadline passed.
          if (c == '*') {
            error = kMicroAccepted;
          } else if (c == '~') {
            std::printf("Invalid command from micro ...\n");
            error = kMicroUnknownCommand;
          } else {
            std::printf("Invalid answer from micro ... %c\n", c);
            error = kMicroInvalidAnswer;
          }
          complete = true;
          break;
      }
    }
  }
  return error;
}

int sendMicroCmd(const unsigned char* msg, int length) {
  unsigned char ucReadBuf[300];
  const int16_t count = static_cast<int16_t>(length);

  // Late bytes from an earlier exchange would be taken for the answer; a
  // card that keeps talking holds the command up for 5 s at most.
  const DWORD drainEnd = deadlineIn(kDrainLimitMs);
  DWORD got = 0;
  do {
    got = 0;
    if (!ReadFile(lport, ucReadBuf, sizeof ucReadBuf, &got, nullptr)) got = 0;
    lnumbytes = got;
  } while (got > 0 && !deadlinePassed(drainEnd));

  int offset = 0;
  DWORD stalledSince = GetTickCount();
  while (offset < count) {
    DWORD written = 0;
    lrc = WriteFile(lport, msg + offset, static_cast<DWORD>(count - offset), &written, nullptr);
    lnumbytes = written;
    if (!lrc) return 0;
    offset += static_cast<int>(written);
    if (written > 0)
      stalledSince = GetTickCount();
    else if (tickPassed(GetTickCount(), stalledSince + kStalledWriteMs))
      return 0;  // the port takes nothing: a write that never ends
  }

  uint16_t valRetry = 0;
  for (;;) {
    const int ret = ReadMicroResponse();
    if (ret == kMicroTimeout) {
      if (valRetry > 4) {
        std::printf("Unable to send command. Exit. SendMicro\n");
        return 0;
      }
      std::printf("Timeout. Retry...SEndMicro\n");
      ++valRetry;
      continue;
    }
    if (ret == kMicroUnknownCommand || ret == kMicroInvalidAnswer) {
      std::printf("\n%.*s\n", count > 0 ? static_cast<int>(count) : 0,
                  reinterpret_cast<const char*>(msg));
      return 0;
    }
    return 1;
  }
}
