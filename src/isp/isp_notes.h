// What an ISP request or answer is, in words, for the trace's notes:
// "ISP request 5502 mode: program device 5 from 0x00000100, 8192 bytes",
// "ISP answer 0002 NACK of 501".
#pragma once

#include <cstdint>
#include <string>

std::string ispRequestNote(const uint16_t* request);
// `answer` as received for `request`; `checksumRight` false adds a remark.
std::string ispAnswerNote(const uint16_t* request, const uint16_t* answer, bool checksumRight);
