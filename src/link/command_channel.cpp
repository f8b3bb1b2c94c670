#include "link/command_channel.h"

#include "common/ticks.h"
#include "link/serial_link.h"

namespace {

constexpr DWORD kDrainMs = 1000;     // a chattering card cannot hold a command up longer
constexpr DWORD kAnswerMs = 2000;    // one ReadCmd window
constexpr int kReadCmdCalls = 4;     // one and up to three repeats
constexpr std::size_t kBound = 40;   // stored characters, examined before each read

}  // namespace

ReadCmdStatus ReadCmd(SerialLink& link, char* answer, std::size_t capacity) {
  unsigned char readBuffer[50];
  bool collecting = false;
  std::size_t stored = 0;
  ReadCmdStatus status = ReadCmdStatus::kOverflow;
  const DWORD deadline = deadlineIn(kAnswerMs);

  while (status == ReadCmdStatus::kOverflow && stored < kBound) {
    DWORD got = 0;
    if (!link.readUntil(readBuffer, sizeof readBuffer, deadline, &got)) {
      status = ReadCmdStatus::kReadError;
      got = 0;
    }
    if (deadlinePassed(deadline)) status = ReadCmdStatus::kTimeout;
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
        return ReadCmdStatus::kComplete;  // even when this read also timed out
      }
      if (c == '#') continue;
      if (stored + 3 > capacity) {  // no room left for c, CR and terminator
        answer[stored] = '\0';
        return ReadCmdStatus::kOverflow;
      }
      answer[stored++] = c;
    }
  }
  if (stored < capacity) answer[stored] = '\0';
  return status;
}

SendCmdResult SendCmd(SerialLink& link, const char* msg, int length, char* answer,
            std::size_t answerSize) {
  // Drop what an earlier, late answer left on the line.
  link.drain(kDrainMs);
  link.noteText("card command", msg, length > 0 ? static_cast<std::size_t>(length) : 0);

  for (int i = 0; i < length; ++i) {
    // One write call per byte; a byte the port did not take within the
    // write time-out ends the command (stall limit 0: the first write that
    // moves nothing).
    if (!link.writeAll(msg + i, 1, 0))
      return link.lastError() == ERROR_TIMEOUT ? SendCmdResult::kNoAnswer
                                               : SendCmdResult::kPortFailure;
  }

  bool readFailed = false;
  for (int call = 0; call < kReadCmdCalls; ++call) {
    const ReadCmdStatus status = ReadCmd(link, answer, answerSize);
    if (status == ReadCmdStatus::kComplete) return SendCmdResult::kAnswer;
    if (status == ReadCmdStatus::kOverflow) return SendCmdResult::kNoAnswer;
    if (status == ReadCmdStatus::kReadError) readFailed = true;
  }
  return readFailed ? SendCmdResult::kPortFailure : SendCmdResult::kNoAnswer;
}
