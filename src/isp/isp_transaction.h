// One ISP request/answer exchange with the video processor.
#pragma once

#include <cstdint>

#include "platform/win32.h"

// Sends `msg` (checksum written into it) and reads one answer into
// `response`.  1 when an answer arrived and was accepted; 0 when the write
// failed, no answer came after 11 reads of 3 s, or the answer was a NACK or
// an echo of the request.  `wait` ms pass between the request and the
// first read.
int sendISPCmd(uint16_t* msg, uint16_t* response, DWORD wait);

// Drops whatever the card left in the input, reading until the line is
// quiet (at most `limitMs` against a card that keeps sending): a late answer
// would otherwise be taken for the answer to the next request.
void drainIspInput(DWORD limitMs);

// Finds one frame in the incoming bytes within 3000 ms; returns the bytes
// stored in `tempMsg` ("=G" ... CR) or 0.  Never stores more than
// `capacity` bytes.
int ReadISPResponse(unsigned char* tempMsg, int capacity = 305);
