#include "link/identification.h"

#include <cstdio>
#include <cstring>

#include "link/command_channel.h"
#include "link/serial_port.h"

const char* const cardModeName[6] = {"DVI TO SDI",  "DL-SDI TO DVI",  "SL-SDI TO DVI",
                                     "HDMI TO SDI", "DL-SDI TO HDMI", "SL-SDI TO HDMI"};
int cardVersion = 69;
char RDVersion[10];

namespace {

const char* const kModelAnswers[6] = {
    "#DEVTYPE DVITOSDI\r",  "#DEVTYPE SDITODVI\r",  "#DEVTYPE SL-SDITODVI\r",
    "#DEVTYPE HDMITOSDI\r", "#DEVTYPE SDITOHDMI\r", "#DEVTYPE SL-SDITOHDMI\r",
};

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// The version word starts at position 13 of the answer and ends at the
// first white space; it is kept to 9 characters.
void parseVersion(const char* answer) {
  if (std::strncmp(answer, "#DEVERSION", 10) != 0) {
    cardVersion = 69;
    RDVersion[0] = 'E';
    return;
  }
  cardVersion = answer[11] - '0';
  const char* p = answer + 13;
  if (std::strlen(answer) < 13) p = answer + std::strlen(answer);
  while (*p != '\0' && isBlank(*p)) ++p;  // "%s" skips leading blanks
  std::size_t n = 0;
  while (p[n] != '\0' && !isBlank(p[n]) && n < sizeof RDVersion - 1) {
    RDVersion[n] = p[n];
    ++n;
  }
  RDVersion[n] = '\0';
}

bool writeKey(char key) {
  DWORD written = 0;
  lrc = WriteFile(lport, &key, 1, &written, nullptr);
  lnumbytes = written;
  return lrc != FALSE;
}

}  // namespace

int DevType() {
  char msg[50] = {0};
  char answer[60] = {0};

  std::printf("\nNow communicating with the card to obtain version information...");

  std::strcpy(msg, "#DEVERSION\r");
  unsigned short retryTime = 0;
  int result = 0;
  do {
    result = SendCmd(msg, 11, answer, sizeof answer);
    ++retryTime;
    if (GetLastError() != 0) {
      // Something went wrong on the port (it may have been unplugged and
      // plugged back): open it afresh.
      closePort();
      setUpPort(true);
    }
  } while (result != 1 && retryTime < 15);

  parseVersion(answer);

  std::memset(answer, 0, sizeof answer);
  std::memset(msg, 0, sizeof msg);
  std::strcpy(msg, "#DEVTYPE\r");
  if (SendCmd(msg, 9, answer, sizeof answer) == 1) {
    for (int model = 0; model < 6; ++model) {
      if (std::strcmp(answer, kModelAnswers[model]) == 0) {
        std::printf("OK");
        return model + 1;
      }
    }
    std::printf("\nERROR CARD MODEL UNKNOWN");
    return kDevUnknownModel;
  }

  // No answer to the model request: an old firmware answers its menu keys.
  const char keys[3] = {'\r', '1', '$'};
  for (char key : keys) {
    if (!writeKey(key)) return kDevNoCommunication;
    Sleep(500);
  }
  char reply[50];
  lnumbytes = 0;
  ReadFile(lport, reply, 10, &lnumbytes, nullptr);
  if (lnumbytes > 4) {
    std::printf("\nYou are using an old firmware version...");
    return kDevOldFirmware;
  }
  std::printf("\nError no communication with the device");
  return kDevNoCommunication;
}
