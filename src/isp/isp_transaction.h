// One ISP request/answer exchange with the video processor.
#pragma once

#include <cstdint>

#include "platform/win32.h"

class SerialLink;

// What became of one request.
enum class IspResult {
  Accepted,     // an answer came and was neither a NACK nor an echo
  Refused,      // the answer was a NACK, or an echo of the request's header
  NoAnswer,     // no complete frame in 11 reads of 3 s
  PortFailure,  // the frame could not be written, or the port failed its reads
};

// Sends `msg` (checksum written into it) and reads one answer into
// `response`, which receives the N+3 words the answer's header announces (at
// most 18) when a frame arrived.  `wait` ms pass between the request and the
// first read.  The request is never sent twice: recovery is the caller's.
// `wellFormed` (when given) tells whether the answer's length matched its
// header and its checksum held: an accepted answer that fails either may be
// a refusal damaged on the line, and is no proof that the request was
// carried out.
IspResult sendISPCmd(SerialLink& link, uint16_t* msg, uint16_t* response, DWORD wait,
                     bool* wellFormed = nullptr);

// Drops whatever the card left in the input, reading until the line is
// quiet (at most `limitMs` against a card that keeps sending): a late answer
// would otherwise be taken for the answer to the next request.
void drainIspInput(SerialLink& link, DWORD limitMs);

// What ReadISPResponse found.
struct IspFrameRead {
  enum class Status {
    kFrame,        // `length` bytes from "=G" on stand in `frame`, up to the
                   // CR or as many as 255 bytes without one
    kTimeout,      // no complete frame within the deadline
    kPortFailure,  // the port failed a read
  };
  Status status;
  int length;  // bytes stored; 0 unless kFrame
};

// Finds one frame in the incoming bytes within 3000 ms.  Never stores more
// than `capacity` bytes (a frame cut there still ends at its CR).
IspFrameRead ReadISPResponse(SerialLink& link, unsigned char* frame, int capacity = 305);
