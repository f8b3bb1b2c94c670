// The card's ASCII command channel: a command is '#', a word, optional
// blank-separated arguments and a carriage return; an answer is framed the
// same way ('#' ... CR), with anything before the '#' ignored.
#pragma once

#include <cstddef>

// ReadCmd results.
enum ReadCmdStatus {
  kReadCmdOverflow = 0,  // 40 or more characters without a carriage return
  kReadCmdReadError = 1,
  kReadCmdTimeout = 2,   // no complete answer within 2000 ms
  kReadCmdComplete = 4,  // answer, CR and terminator stored
};

// Drains the line (up to 1000 ms), writes `lenght` bytes of `msg` one byte
// per write, then collects one answer into `answer` (`answerSize` bytes)
// with up to four ReadCmd calls.  1 when a complete answer is stored, else 0.
int SendCmd(const char* msg, int lenght, char* answer, std::size_t answerSize = 60);

// Collects one framed answer within 2000 ms.  Never stores past
// `capacity` bytes: an answer that would not fit with its CR and terminator
// ends with kReadCmdOverflow.
int ReadCmd(char* DataReceive, std::size_t capacity = 60);
