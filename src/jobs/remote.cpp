// REMOTE mode: plays a script of card commands (see remote_script.h for the
// line kinds) and counts the card's acknowledgements and refusals.
//
// One command line, say "#X 1", goes on the wire as: a carriage return,
// a pause, up to 1000 ms for any single byte in answer (the card's prompt;
// dropped), the characters "#X 1" one write each, a carriage return, and
// then up to 4000 ms for an answer that begins "#A" ("#ACK") or "#N"
// ("#NACK").  The port keeps the time-outs it was opened with.
#include <cstdio>
#include <cstring>

#include "common/ticks.h"
#include "jobs/modes.h"
#include "jobs/remote_script.h"
#include "link/serial_port.h"

namespace {

constexpr DWORD kPromptMs = 1000;
constexpr DWORD kAnswerMs = 4000;
constexpr int kLineChars = 253;  // a longer line is read in pieces

bool readOne(unsigned char* c) {
  lnumbytes = 0;
  return ReadFile(lport, c, 1, &lnumbytes, nullptr) && lnumbytes == 1;
}

bool writeOne(const void* c) {
  DWORD written = 0;
  lrc = WriteFile(lport, c, 1, &written, nullptr);
  lnumbytes = written;
  return lrc && written == 1;
}

enum class Answer { Ack, Nack, None, WriteFailed };

Answer sendCommand(const char* line, int* function) {
  const char reset = 13;
  unsigned char buff[500];

  lnumbytes = 0;
  writeOne(&reset);
  Sleep(10);
  DWORD begin = deadlineIn(kPromptMs);
  while (!readOne(buff) && !deadlinePassed(begin)) {
  }
  Sleep(10);

  const std::size_t n = commandLength(line);
  for (std::size_t i = 0; i < n; ++i)
    if (!writeOne(line + i)) return Answer::WriteFailed;
  writeOne(&reset);
  Sleep(10);

  std::memset(buff, 0, sizeof buff);
  begin = deadlineIn(kAnswerMs);
  while (!deadlinePassed(begin)) {
    if (!readOne(buff) || buff[0] != '#') continue;
    ++*function;
    // The letter after '#' may come a read later than the '#' itself.
    unsigned char letter = 0;
    while (!readOne(&letter) && !deadlinePassed(begin)) {
    }
    if (lnumbytes != 1) break;
    if (letter == 'A') return Answer::Ack;
    if (letter == 'N') return Answer::Nack;
  }
  return Answer::None;
}

}  // namespace

Outcome Remote(const char* fileName) {
  std::FILE* fd = std::fopen(fileName, "rb");
  if (fd == nullptr) {
    std::printf("/nFile load error\n");
    return Outcome::Failure;
  }
  std::printf("\n->Remote Function...Now executing the function in the remote.txt file...\n");

  char CommandLine[255];
  int ack = 0, nack = 0, function = 0, wait = 0, commands = 0;
  while (std::fgets(CommandLine, kLineChars + 1, fd) != nullptr) {
    switch (scriptLineKind(CommandLine)) {
      case ScriptLine::Command:
        ++commands;
        switch (sendCommand(CommandLine, &function)) {
          case Answer::Ack:
            std::printf("\nACK received...\n");
            ++ack;
            break;
          case Answer::Nack:
            std::printf("\nNACK received...\n");
            ++nack;
            break;
          case Answer::None:
            std::printf("\nNACK received...\n");
            break;
          case Answer::WriteFailed:
            std::fclose(fd);
            return Outcome::Failure;
        }
        break;
      case ScriptLine::Message:
        std::printf("\n%s", CommandLine + 1);
        break;
      case ScriptLine::KeyStop:
        std::printf("Press a key to continue!");
        _getch();
        std::printf("%c                                                     ", 13);
        break;
      case ScriptLine::Pause:
        readPause(CommandLine, &wait);
        Sleep(static_cast<DWORD>(wait));
        break;
      case ScriptLine::Comment:
        break;
    }
  }
  std::printf("\n->ACK : %d / %d  ", ack, function);
  std::printf("\n->NACK : %d / %d  ", nack, function);
  std::printf("\nEnd of remote.txt");
  std::fclose(fd);
  return ack == commands ? Outcome::Success : Outcome::Failure;
}
