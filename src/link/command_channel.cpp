#include "link/command_channel.h"

#include "common/ticks.h"
#include "link/serial_link.h"

namespace {

constexpr DWORD kDrainMs = 1000;     // a chattering card cannot hold a command up longer
constexpr DWORD kAnswerMs = 2000;    // one ReadCmd window
constexpr int kReadCmdCalls = 4;     // one and up to three repeats
constexpr std::size_t kBound = 40;   // stored characters, examined before each read

}  // namespace

int ReadCmd(SerialLink& link, char* answer, std::size_t capacity) {
  unsigned char readBuffer[50];
  bool collecting = false;
  std::size_t stored = 0;
  int status = kReadCmdOverflow;
  const DWORD deadline = deadlineIn(kAnswerMs);

  while (status == kReadCmdOverflow && stored < kBound) {
    DWORD got = 0;
    if (!link.readUntil(readBuffer, sizeof readBuffer, deadline, &got)) {
      status = kReadCmdReadError;
      got = 0;
    }
    if (deadlinePassed(deadline)) status = kReadCmdTimeout;
    for (DWORD i = 0; i < got; ++i) {
      const char c = static_cast<char>(readBuffer[i]);
      if (!collecting) {
        if (c == '#') {
          answer[stored++] = c;
          collecting = true;
        }
        continue;
      }
      if (c == '\r') {
        answer[stored] = '\r';
        answer[stored + 1] = '\0';
        return kReadCmdComplete;  // even when this read also timed out
      }
      if (c == '#') continue;
      if (stored + 3 > capacity) {  // no room left for c, CR and terminator
        answer[stored] = '\0';
        return kReadCmdOverflow;
      }
      answer[stored++] = c;
    }
  }
  if (stored < capacity) answer[stored] = '\0';
  return status;
}

int SendCmd(SerialLink& link, const char* msg, int length, char* answer,
            std::size_t answerSize) {
  // Drop what an earlier, late answer left on the line.
  link.drain(kDrainMs);
  link.noteText("card command", msg, length > 0 ? static_cast<std::size_t>(length) : 0);

  for (int i = 0; i < length; ++i) {
    // One write call per byte; a byte the port did not take within the
    // write time-out ends the command (stall limit 0: the first write that
    // moves nothing).
    if (!link.writeAll(msg + i, 1, 0))
      return link.lastError() == ERROR_TIMEOUT ? kCmdNoAnswer : kCmdPortFailure;
  }

  bool readFailed = false;
  for (int call = 0; call < kReadCmdCalls; ++call) {
    const int status = ReadCmd(link, answer, answerSize);
    if (status == kReadCmdComplete) return kCmdAnswer;
    if (status == kReadCmdOverflow) return kCmdNoAnswer;
    if (status == kReadCmdReadError) readFailed = true;
  }
  return readFailed ? kCmdPortFailure : kCmdNoAnswer;
}
