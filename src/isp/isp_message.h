// ISP messages of the VXP video processor: arrays of 16-bit words.
//
//   word 0        header: bits 15..12 count field N, bits 11..0 the id
//   words 1..N+1  parameter or data words
//   word N+2      checksum: two's complement of the 16-bit sum of words 0..N+1
//
// On the line each word goes low byte first.
#pragma once

#include <cstdint>

constexpr int kIspMaxWords = 18;  // N = 15

inline int ispCount(uint16_t header) { return header >> 12; }
inline uint16_t ispId(uint16_t header) { return header & 0x0FFF; }
inline int ispWords(uint16_t header) { return ispCount(header) + 3; }

// Request headers.
constexpr uint16_t kIspModeRequest = 0x5502;
constexpr uint16_t kIspModeStatusRequest = 0x0632;
constexpr uint16_t kFlashWriteRequest = 0xF501;
constexpr uint16_t kFlashReadRequest = 0x0639;
constexpr uint16_t kDriverWriteRequest = 0x950D;
constexpr uint16_t kDriverCallRequest = 0x3802;
constexpr uint16_t kDeviceNameRequest = 0x0633;
constexpr uint16_t kStatusRequest = 0x062F;
constexpr uint16_t kCalibrationReadRequest = 0x161A;
// Answer ids.
constexpr uint16_t kNackId = 0x002;
constexpr uint16_t kReadAnswerId = 0x73A;
constexpr uint16_t kGspiTimeout = 0x1234;

// ISP mode operations.
constexpr uint16_t kIspProgram = 0x0100;
constexpr uint16_t kIspReadBack = 0x0200;

// Fills words 0..6 of an ISP mode request: the operation (kIspProgram or
// kIspReadBack), the device number, then the start address and the byte
// count, each as two words, bits 15..0 first.
void buildIspModeRequest(uint16_t* msg, uint16_t operation, int device, uint32_t start,
                         uint32_t count);

void createChecksum(uint16_t* msg);
// True when the message's last word completes the sum of its words to 0.
bool checksumOK(const uint16_t* msg);
void printMsg(const uint16_t* msg);
void printMsgChar(const unsigned char* msg, int size);
