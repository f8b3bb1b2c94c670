#include "isp/isp_message.h"

#include <cstdio>

void createChecksum(uint16_t* msg) {
  const int n = ispCount(msg[0]);
  uint16_t sum = 0;
  for (int i = 0; i <= n + 1; ++i) sum = static_cast<uint16_t>(sum + msg[i]);
  msg[n + 2] = static_cast<uint16_t>(0u - sum);
}

bool checksumOK(const uint16_t* msg) {
  const int n = ispCount(msg[0]);
  uint16_t sum = 0;
  for (int i = 0; i <= n + 1; ++i) sum = static_cast<uint16_t>(sum + msg[i]);
  return msg[n + 2] == static_cast<uint16_t>(0u - sum);
}

void printMsg(const uint16_t* msg) {
  const int words = ispWords(msg[0]);
  for (int i = 0; i < words; ++i) std::printf("0x%04x ", static_cast<unsigned>(msg[i]));
  std::printf("\n");
}

void printMsgChar(const unsigned char* msg, int size) {
  // The count is a 16-bit quantity: anything that reads as zero or negative
  // there prints nothing but the line end.
  const int count = static_cast<int16_t>(size);
  for (int i = 0; i < count; ++i) std::printf("%02x", static_cast<unsigned>(msg[i]));
  std::printf("\n");
}

void buildIspModeRequest(uint16_t* msg, uint16_t operation, int device, uint32_t start,
                         uint32_t count) {
  msg[0] = kIspModeRequest;
  msg[1] = operation;
  msg[2] = static_cast<uint16_t>(device);
  msg[3] = static_cast<uint16_t>(start & 0xFFFF);
  msg[4] = static_cast<uint16_t>(start >> 16);
  msg[5] = static_cast<uint16_t>(count & 0xFFFF);
  msg[6] = static_cast<uint16_t>(count >> 16);
}
