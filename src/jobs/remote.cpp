// REMOTE mode: plays a script of card commands (see remote_script.h for the
// line kinds) and counts the card's acknowledgements and refusals.
//
// One command line, say "#X 1", goes on the wire as: a carriage return,
// a pause, up to 1000 ms for any single byte in answer (the card's prompt;
// dropped), the characters "#X 1" one write each, a carriage return, and
// then up to 4000 ms for an answer that begins "#A" ("#ACK") or "#N"
// ("#NACK").  The port keeps the time-outs it was opened with.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/hint.h"
#include "common/scoped_file.h"
#include "common/ticks.h"
#include "jobs/card_bytes.h"
#include "jobs/modes.h"
#include "jobs/remote_script.h"
#include "link/serial_link.h"

namespace {

constexpr DWORD kPromptMs = 1000;
constexpr DWORD kAnswerMs = 4000;
constexpr DWORD kSettleMs = 10;
constexpr int kLineChars = 253;  // a longer line is read in pieces

enum class Answer { Ack, Nack, None, WriteFailed };

Answer sendCommand(SerialLink& link, const char* line, int* answers) {
  const unsigned char carriageReturn = 13;
  unsigned char byte = 0;

  if (!link.writeByte(carriageReturn)) return Answer::WriteFailed;
  Sleep(kSettleMs);
  link.waitByte(&byte, deadlineIn(kPromptMs));  // the card's prompt, dropped
  Sleep(kSettleMs);

  const std::size_t n = commandLength(line);
  link.noteText("card command", line, n);
  for (std::size_t i = 0; i < n; ++i)
    if (!sendByte(link, static_cast<unsigned char>(line[i]))) return Answer::WriteFailed;
  if (!link.writeByte(carriageReturn)) return Answer::WriteFailed;
  Sleep(kSettleMs);

  // Every '#' begins an answer; the letter after it tells "#ACK" from
  // "#NACK", and any other letter leaves the wait going.
  const unsigned char hash = '#';
  const DWORD deadline = deadlineIn(kAnswerMs);
  for (;;) {
    if (link.waitAnyOf(&hash, 1, deadline, &byte) != SerialLink::Wait::kByte) return Answer::None;
    ++*answers;
    if (link.waitByte(&byte, deadline) != SerialLink::Wait::kByte) return Answer::None;
    if (byte == 'A') return Answer::Ack;
    if (byte == 'N') return Answer::Nack;
  }
}

}  // namespace

Outcome Remote(SerialLink& link, const char* fileName) {
  const ScopedFile file = openUpdateFile(fileName);
  std::FILE* const fd = file.get();
  if (fd == nullptr) return Outcome::Failure;
  // An empty script would send nothing and still count as done.
  if (std::fgetc(fd) == EOF) {
    std::printf("Empty file : %s has no bytes.\n", fileName);
    return Outcome::Failure;
  }
  std::rewind(fd);
  std::printf("\n->Remote Function...Now executing the function in the remote.txt file...\n");

  char commandLine[kLineChars + 2];
  int ack = 0, nack = 0, answers = 0, pause = 0, commands = 0;
  while (std::fgets(commandLine, kLineChars + 1, fd) != nullptr) {
    switch (scriptLineKind(commandLine)) {
      case ScriptLine::Command:
        ++commands;
        switch (sendCommand(link, commandLine, &answers)) {
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
            if (link.lastError() == ERROR_TIMEOUT)
              std::printf("\nFailed to write data : the card stopped reading\n");
            else
              std::printf("\nFailed to write data : error %ld\n",
                          static_cast<long>(link.lastError()));
            return Outcome::Failure;
        }
        break;
      case ScriptLine::Message:
        std::printf("\n%s", commandLine + 1);
        break;
      case ScriptLine::KeyStop:
        std::printf("Press a key to continue!");
        _getch();
        std::printf("%c                                                     ", 13);
        break;
      case ScriptLine::Pause:
        readPause(commandLine, &pause);
        Sleep(static_cast<DWORD>(pause));
        break;
      case ScriptLine::Comment:
        break;
    }
  }
  // A script that could not be read to its end was not played whole,
  // whatever the card answered to the lines before.
  const bool readWhole = !std::ferror(fd);
  if (!readWhole) printHint("%s could not be read to its end: %s", fileName, std::strerror(errno));
  std::printf("\n->ACK : %d / %d  ", ack, answers);
  std::printf("\n->NACK : %d / %d  ", nack, answers);
  std::printf("\nEnd of remote.txt");
  return readWhole && ack == commands ? Outcome::Success : Outcome::Failure;
}
