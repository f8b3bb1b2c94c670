#include "link/command_channel.h"

#include "common/ticks.h"
#include "link/serial_port.h"

int ReadCmd(char* DataReceive, std::size_t capacity) {
  unsigned char ReadBuff[50];
  bool collecting = false;
  std::size_t stored = 0;
  int verify = kReadCmdOverflow;
  const DWORD deadline = deadlineIn(2000);

  while (verify == kReadCmdOverflow && stored < 40) {
    lnumbytes = 0;
    if (!ReadFile(lport, ReadBuff, sizeof ReadBuff, &lnumbytes, nullptr)) {
      verify = kReadCmdReadError;
      lnumbytes = 0;
    }
    if (deadlinePassed(deadline)) verify = kReadCmdTimeout;
    for (DWORD i = 0; i < lnumbytes && i < sizeof ReadBuff; ++i) {
      const char c = static_cast<char>(ReadBuff[i]);
      if (!collecting) {
        if (c == '#') {
          DataReceive[stored++] = c;
          collecting = true;
        }
        continue;
      }
      if (c == '\r') {
        DataReceive[stored] = '\r';
        DataReceive[stored + 1] = '\0';
        return kReadCmdComplete;  // even when this read also timed out
      }
      if (c == '#') continue;
      if (stored + 3 > capacity) {  // no room left for c, CR and terminator
        DataReceive[stored] = '\0';
        return kReadCmdOverflow;
      }
      DataReceive[stored++] = c;
    }
  }
  if (stored < capacity) DataReceive[stored] = '\0';
  return verify;
}

int SendCmd(const char* msg, int lenght, char* answer, std::size_t answerSize) {
  unsigned char ReadBuf[300];

  // Drain what an earlier, late answer left on the line; a chattering card
  // cannot hold the command up for more than a second.
  const DWORD deadline = deadlineIn(1000);
  do {
    lnumbytes = 0;
    ReadFile(lport, ReadBuf, sizeof ReadBuf, &lnumbytes, nullptr);
  } while (lnumbytes > 0 && !deadlinePassed(deadline));

  for (int i = 0; i < lenght; ++i) {
    DWORD written = 0;
    lrc = WriteFile(lport, msg + i, 1, &written, nullptr);
    lnumbytes = written;
    if (!lrc || written != 1) return 0;
  }

  for (int call = 0; call < 4; ++call) {
    int status = ReadCmd(answer, answerSize);
    if (status == kReadCmdComplete) return 1;
    if (status == kReadCmdOverflow) return 0;
  }
  return 0;
}
