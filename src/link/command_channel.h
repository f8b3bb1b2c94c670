// The card's ASCII command channel: a command is '#', a word, optional
// blank-separated arguments and a carriage return; an answer is framed the
// same way ('#' ... CR), with anything before the '#' ignored.
#pragma once

#include <cstddef>

class SerialLink;

// ReadCmd results.
enum ReadCmdStatus {
  kReadCmdOverflow = 0,  // 40 or more characters without a carriage return
  kReadCmdReadError = 1,
  kReadCmdTimeout = 2,   // no complete answer within 2000 ms
  kReadCmdComplete = 4,  // answer, CR and terminator stored
};

// SendCmd results.  An answer is 1 and anything else is not, so a caller
// that only asks "answered or not" can still compare with 1.
enum SendCmdResult {
  kCmdPortFailure = -1,  // a write or read call on the port failed
  kCmdNoAnswer = 0,      // silence, an incomplete or overlong answer, or a
                         // byte the port would not take
  kCmdAnswer = 1,        // a complete answer stands in `answer`
};

// Drains the line (up to 1000 ms), writes `length` bytes of `msg` one byte
// per write, then collects one answer into `answer` (`answerSize` bytes)
// with up to four ReadCmd calls.  The command is never sent twice.
int SendCmd(SerialLink& link, const char* msg, int length, char* answer,
            std::size_t answerSize = 60);

// Collects one framed answer within 2000 ms.  Never stores past
// `capacity` bytes: an answer that would not fit with its CR and terminator
// ends with kReadCmdOverflow.
int ReadCmd(SerialLink& link, char* answer, std::size_t capacity = 60);

