#include "isp/isp_notes.h"

#include <cstdio>

#include "isp/isp_message.h"

namespace {

constexpr uint16_t idOf(uint16_t header) { return header & 0x0FFF; }

// Requests by id, so that a header with another count is still named.
const char* requestName(uint16_t id) {
  switch (id) {
    case idOf(kIspModeRequest): return "mode";
    case idOf(kIspModeStatusRequest): return "mode status";
    case idOf(kFlashWriteRequest): return "flash write";
    case idOf(kFlashReadRequest): return "flash read";
    case idOf(kDriverWriteRequest): return "driver write";
    case idOf(kDriverCallRequest): return "driver call";
    case idOf(kDeviceNameRequest): return "device name";
    case idOf(kStatusRequest): return "status";
    case idOf(kCalibrationReadRequest): return "calibration read";
    default: return "of unknown kind";
  }
}

uint32_t twoWords(const uint16_t* low) { return low[0] | static_cast<uint32_t>(low[1]) << 16; }

}  // namespace

std::string ispRequestNote(const uint16_t* request) {
  const uint16_t id = ispId(request[0]);
  char text[160];
  int n = std::snprintf(text, sizeof text, "ISP request %04X %s", request[0], requestName(id));
  if (id == ispId(kIspModeRequest) && ispCount(request[0]) >= 5) {
    const char* operation = request[1] == kIspProgram    ? "program"
                            : request[1] == kIspReadBack ? "read back"
                                                         : "operation ?";
    std::snprintf(text + n, sizeof text - n, ": %s device %u from 0x%08lX, %lu bytes", operation,
                  static_cast<unsigned>(request[2]),
                  static_cast<unsigned long>(twoWords(request + 3)),
                  static_cast<unsigned long>(twoWords(request + 5)));
  } else if (id == ispId(kDriverWriteRequest) || id == ispId(kDriverCallRequest)) {
    // A segment:offset pair: the segment word holds address bits 19..16 in
    // its top four bits.  The call's first word is the base shifted by 4.
    const unsigned long address =
        id == ispId(kDriverWriteRequest)
            ? (static_cast<unsigned long>(request[1]) << 4) + request[2]
            : static_cast<unsigned long>(request[1]) << 4;
    std::snprintf(text + n, sizeof text - n, " at 0x%05lX", address);
  }
  return text;
}

std::string ispAnswerNote(const uint16_t* request, const uint16_t* answer, bool checksumRight) {
  char text[160];
  const uint16_t id = ispId(answer[0]);
  int n = std::snprintf(text, sizeof text, "ISP answer %04X ", answer[0]);
  if (id == kNackId) {
    n += std::snprintf(text + n, sizeof text - n, "NACK of %03X%s", ispId(answer[1]),
                       answer[2] == kGspiTimeout ? " (GSPI timeout)" : "");
  } else if (answer[0] == request[0]) {
    n += std::snprintf(text + n, sizeof text - n, "echo of the request: refused");
  } else if (id == kReadAnswerId) {
    n += std::snprintf(text + n, sizeof text - n, "read answer, %d words", ispCount(answer[0]) + 1);
  } else {
    n += std::snprintf(text + n, sizeof text - n, "accepted, word 1 %04X", answer[1]);
  }
  if (!checksumRight) std::snprintf(text + n, sizeof text - n, ", bad checksum");
  return text;
}
