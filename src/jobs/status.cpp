// Mode STATUS: the video processor's identity, health, memory detection and
// calibration results, refreshed on any key until 'q'.
#include <algorithm>
#include <cstdint>
#include <string>
#include <cstdio>
#include <cstring>

#include "common/printable.h"
#include "isp/isp_message.h"
#include "isp/isp_transaction.h"
#include "jobs/modes.h"
#include "link/serial_link.h"
#include "platform/win32.h"

namespace {

// The twelve characters of the device name, each the low byte of its word,
// as the console may show them: a control byte or a byte that is not text
// is written as \xNN (NUL padding passes as it always did).
void printDeviceName(const uint16_t* fields) {
  std::string name;
  for (int i = 0; i < 12; ++i) name += static_cast<char>(fields[i] & 0xFF);
  std::size_t from = 0;
  while (from <= name.size()) {
    const std::size_t nul = std::min(name.find('\0', from), name.size());
    std::fputs(printable(name.substr(from, nul - from)).c_str(), stdout);
    if (nul < name.size()) std::fputc('\0', stdout);
    from = nul + 1;
  }
}

constexpr int kMsgWords = 256;

// One line of the report: the text for a set bit and for a clear one.
struct BitLine {
  int bit;
  const char* set;
  const char* clear;
};

const char* osdLoadText(unsigned code) {
  switch (code) {
    case 0: return "OSD Load Table OK";
    case 1: return "No load data table entry in configuration info";
    case 2: return "Load table corrupted or absent";
    case 3: return "Load table empty";
    case 4: return "Load table too big";
    case 5: return "Memory overflow";
    case 6: return "Awaiting trigger of manual OSD bulk load";
    default: return "Error Unknown";
  }
}

const char* configText(unsigned code) {
  switch (code) {
    case 0: return "Insystem program mode";
    case 1: return "Configuration in progress";
    case 2: return "Configuration complete";
    case 3: return "Configuration error";
    case 4: return "Firmware incompatible with device type";
    default: return "Error Unknown";
  }
}

// Lines without a line end pair up with the next one into two columns.
const BitLine kVideoMemory[] = {
    {0, "           SDRAM 1 Detected", "           SDRAM 1 Not Detected"},
    {3, "           SDRAM 4 Detected \n", "           SDRAM 4 Not Detected \n"},
    {1, "           SDRAM 2 Detected", "           SDRAM 2 Not Detected"},
    {4, "           SDRAM 5 Detected \n", "           SDRAM 5 Not Detected\n"},
    {2, "           SDRAM 3 Detected\n", "           SDRAM 3 Not Detected\n"},
};
const BitLine kOsdMemory[] = {
    {5, "           SDRAM 1 Detected", "           SDRAM 1 Not Detected"},
    {6, "           SDRAM 2 Detected \n", "           SDRAM 2 Not Detected\n"},
};
const BitLine kFlashMemory[] = {
    {0, "           CS0 Detected", "           CS0 Not Detected"},
    {4, "           CS4 Detected\n", "           CS4 Not Detected\n"},
    {1, "           CS1 Detected", "           CS1 Not Detected"},
    {5, "           CS5 Detected\n", "           CS5 Not Detected\n"},
    {2, "           CS2 Detected", "           CS2 Not Detected"},
    {6, "               CS6 Detected\n", "               CS6 Not Detected\n"},
    {3, "           CS3 Detected", "           CS3 Not Detected"},
    {7, "               CS7 Detected \n", "               CS7 Not Detected\n"},
};
const BitLine kOsdCalibration[] = {
    {0, "           Byte 0 : Passed", "           Byte 0 : Not Passed"},
    {2, "            Byte 2 : Passed\n", "            Byte 2 : Not Passed\n"},
    {1, "           Byte 1 : Passed", "           Byte 1 : Not Passed"},
    {3, "            Byte 3 : Passed\n", "            Byte 3 : Not Passed\n"},
};
const BitLine kVideoCalibration[] = {
    {0, "           Byte 0 : Passed", "           Byte 0 : Not Passed"},
    {5, "            Byte 5 : Passed\n", "            Byte 5 : Not Passed\n"},
    {1, "           Byte 1 : Passed", "           Byte 1 : Not Passed"},
    {6, "            Byte 6 : Passed\n", "            Byte 6 : Not Passed\n"},
    {2, "           Byte 2 : Passed", "           Byte 2 : Not Passed"},
    {7, "            Byte 7 : Passed\n", "            Byte 7 : Not Passed\n"},
    {3, "           Byte 3 : Passed", "           Byte 3 : Not Passed"},
    {8, "            Byte 8 : Passed\n", "            Byte 8 : Not Passed\n"},
    {4, "           Byte 4 : Passed", "           Byte 4 : Not Passed"},
    {9, "            Byte 9 : Passed\n", "            Byte 9 : Not Passed\n"},
};

template <std::size_t N>
void printBits(const BitLine (&lines)[N], unsigned value) {
  for (const BitLine& l : lines) std::printf("%s", (value >> l.bit) & 1u ? l.set : l.clear);
}

// Clears the first 15 words of both arrays, fills the request, sends it.
// A lost or refused answer leaves its fields at 0 (and false).
bool request(SerialLink& link, uint16_t* msg, uint16_t* response, uint16_t header,
             uint16_t arg1, uint16_t arg2) {
  std::memset(msg, 0, 15 * sizeof(uint16_t));
  std::memset(response, 0, 15 * sizeof(uint16_t));
  msg[0] = header;
  msg[1] = arg1;
  msg[2] = arg2;
  return sendISPCmd(link, msg, response, 0) == IspResult::Accepted;
}

}  // namespace

Outcome vxpStatus(SerialLink& link) {
  uint16_t msg[kMsgWords] = {};
  uint16_t response[kMsgWords] = {};
  bool answered = false;  // every request of the last report was answered

  for (;;) {
    uint16_t fields[50] = {};  // the answer fields the report prints
    answered = true;

    answered = request(link, msg, response, kDeviceNameRequest, 0, 0) && answered;
    for (int k = 0; k < 6; ++k) {
      fields[2 * k] = static_cast<uint16_t>(response[1 + k] >> 8);  // high byte first
      fields[2 * k + 1] = static_cast<uint16_t>(response[1 + k] & 0xFF);
    }
    answered = request(link, msg, response, kStatusRequest, 0, 0) && answered;
    fields[12] = static_cast<uint16_t>(response[1] >> 8);    // OSD load status
    fields[13] = static_cast<uint16_t>(response[1] & 0xFF);  // configuration status
    fields[14] = response[2];                                // device type
    fields[15] = static_cast<uint16_t>((response[14] >> 8) & 0x7F);  // memory detection
    fields[16] = static_cast<uint16_t>(response[14] & 0xFF);         // flash detection
    answered = request(link, msg, response, kCalibrationReadRequest, 0x005E, 0x0B06) && answered;
    fields[17] = static_cast<uint16_t>(response[3] & 0xFF);  // OSD memory calibration
    answered = request(link, msg, response, kCalibrationReadRequest, 0x007C, 0x0005) && answered;
    fields[18] = response[3];  // video memory calibration

    std::printf("\n/********** VXP STATUS ***********/ \n");
    std::printf("\nDevice Name         -> ");
    printDeviceName(fields);
    std::printf("\nDevice Type         -> GF%x", static_cast<unsigned>(fields[14]));
    std::printf("\nOSD Load Status     -> %s", osdLoadText(fields[12]));
    std::printf("\nConfig Status       -> %s", configText(fields[13]));
    std::printf("\nMemory Devices      ->\n\r");
    std::printf("    Video Memory:  \n");
    printBits(kVideoMemory, fields[15]);
    std::printf("    OSD Memory:  \n");
    printBits(kOsdMemory, fields[15]);
    std::printf("    Flash Memory:  \n");
    printBits(kFlashMemory, fields[16]);
    std::printf("SDRAM Calibration   ->\n\r");
    std::printf("    OSD : \n");
    printBits(kOsdCalibration, fields[17]);
    std::printf("    Video: \n");
    printBits(kVideoCalibration, fields[18]);
    std::printf("\n/******** END OF VXP STATUS ********/ ");
    std::printf("\nPress Enter to refresh or 'Q' to quit ");

    // The end of the input counts as 'q': nobody is left to press a key.
    const int c = _getch();
    if (c == 'q' || c == 'Q' || c < 0) break;
  }
  if (answered) return Outcome::Success;
  // A report of empty fields is not the processor's status.
  std::printf("\nThe video processor did not answer every request: the report is incomplete.\n");
  return Outcome::Failure;
}
