// Micro commands: four-byte texts "=M" + letter + CR to the card's
// microcontroller around the video processor's flash work, answered with
// "=M" and a status character ('*' accepted, '~' unknown command).
#pragma once

// Answer codes of ReadMicroResponse.
enum MicroAnswer {
  kMicroAccepted = 1,
  kMicroUnknownCommand = 2,
  kMicroInvalidAnswer = 3,
  kMicroTimeout = 4,
};

// Drains the input, sends the command and waits for its answer (six waits
// of 10 s at most).  1 when the micro accepted the command, else 0.
int sendMicroCmd(const unsigned char* msg, int length);
int ReadMicroResponse();
