// Micro commands: four-byte texts "=M" + letter + CR to the card's
// microcontroller around the video processor's flash work, answered with
// "=M" and a status character ('*' accepted, '~' unknown command).
#pragma once

class SerialLink;

// What ReadMicroResponse found.
enum class MicroAnswer {
  kAccepted,        // "=M*"
  kUnknownCommand,  // "=M~"
  kInvalidAnswer,   // "=M" and any other character
  kTimeout,         // no answer within 10 s, or a failed read
};

// Drains the input, sends the command and waits for its answer (six waits
// of 10 s at most; the command is sent once).  True when the micro accepted
// the command; any other ending has printed its message.
[[nodiscard]] bool sendMicroCmd(SerialLink& link, const unsigned char* msg, int length);
// Finds the next answer in the incoming bytes.
MicroAnswer ReadMicroResponse(SerialLink& link);
