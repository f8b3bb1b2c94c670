// The card's ASCII command channel: a command is '#', a word, optional
// blank-separated arguments and a carriage return; an answer is framed the
// same way ('#' ... CR), with anything before the '#' ignored.
#pragma once

#include <cstddef>

class SerialLink;

// How ReadCmd ended.
enum class ReadCmdStatus {
  kOverflow,   // 40 or more characters without a carriage return
  kReadError,  // a read call on the port failed
  kTimeout,    // no complete answer within 2000 ms
  kComplete,   // answer, CR and terminator stored
};

// What became of a command.
enum class SendCmdResult {
  kPortFailure,  // a write or read call on the port failed
  kNoAnswer,     // silence, an incomplete or overlong answer, or a byte the
                 // port would not take
  kAnswer,       // a complete answer stands in `answer`
};

// Drains the line (up to 1000 ms), writes `length` bytes of `msg` one byte
// per write, then collects one answer into `answer` (`answerSize` bytes)
// with up to four ReadCmd calls.  The command is never sent twice.
SendCmdResult SendCmd(SerialLink& link, const char* msg, int length, char* answer,
            std::size_t answerSize = 60);

// Collects one framed answer within 2000 ms.  Never stores past
// `capacity` bytes: an answer that would not fit with its CR and terminator
// ends with kOverflow.
ReadCmdStatus ReadCmd(SerialLink& link, char* answer, std::size_t capacity = 60);

