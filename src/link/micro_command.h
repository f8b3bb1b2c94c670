// Micro commands: four-byte texts "=M" + letter + CR to the card's
// microcontroller around the video processor's flash work, answered with
// "=M" and a status character ('*' accepted, '~' unknown command).
#pragma once

class SerialLink;

// Answer codes of ReadMicroResponse.
enum MicroAnswer {
  kMicroAccepted = 1,
  kMicroUnknownCommand = 2,
  kMicroInvalidAnswer = 3,
  kMicroTimeout = 4,  // no answer within 10 s, or a failed read
};

// Drains the input, sends the command and waits for its answer (six waits
// of 10 s at most; the command is sent once).  1 when the micro accepted
// the command, else 0.
int sendMicroCmd(SerialLink& link, const unsigned char* msg, int length);
// Finds the next answer in the incoming bytes; one of MicroAnswer.
int ReadMicroResponse(SerialLink& link);
