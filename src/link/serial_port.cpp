#include "link/serial_port.h"

#include <cstdio>
#include <cstring>

char lportname[256];
char lfullportname[256];
HANDLE lport = INVALID_HANDLE_VALUE;
DCB lDCB;
COMMTIMEOUTS ct;
BOOL lrc;
DWORD lnumbytes;
unsigned char buffer[kBufferSize];

void errorCheck(char* error) {
  switch (GetLastError()) {
    case 2:
      std::strcpy(error, "The COM port selected don't exist!");
      break;
    case 5:
      std::strcpy(error, "The COM port selected is already open by an other program!");
      break;
    default:
      error[0] = '\0';
      break;
  }
}

bool applyTimeouts(DWORD readInterval, DWORD readMultiplier, DWORD readConstant,
                   DWORD writeMultiplier, DWORD writeConstant) {
  ct.ReadIntervalTimeout = readInterval;
  ct.ReadTotalTimeoutMultiplier = readMultiplier;
  ct.ReadTotalTimeoutConstant = readConstant;
  ct.WriteTotalTimeoutMultiplier = writeMultiplier;
  ct.WriteTotalTimeoutConstant = writeConstant;
  return SetCommTimeouts(lport, &ct) != FALSE;
}

bool applyPollingTimeouts() { return applyTimeouts(MAXDWORD, MAXDWORD, 1, 100, 0); }

bool setUpPort(bool reopen) {
  bool ok = true;
  lport = CreateFileA(lfullportname, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                      nullptr);
  if (lport == INVALID_HANDLE_VALUE) {
    char error[256];
    errorCheck(error);
    std::printf("Failed to open %s :  %s\n", lportname, error);
    if (!reopen) return false;
    ok = false;
  }

  lDCB.DCBlength = sizeof(DCB);
  lrc = GetCommState(lport, &lDCB);
  if (!lrc) {
    std::printf("Failed to get port status : error %ld  \n", static_cast<long>(GetLastError()));
    if (!reopen) return false;
    ok = false;
  }

  lDCB.BaudRate = 115200;
  lDCB.ByteSize = 8;
  lDCB.Parity = NOPARITY;
  lDCB.StopBits = ONESTOPBIT;
  lDCB.fRtsControl = RTS_CONTROL_DISABLE;
  // A binary protocol must not run with software flow control: 0x11 and
  // 0x13 in the data would stall the line or vanish.
  lDCB.fOutX = 0;
  lDCB.fInX = 0;
  lrc = SetCommState(lport, &lDCB);
  if (!lrc) {
    std::printf("Failed to set port state : error %ld\n", static_cast<long>(GetLastError()));
    if (!reopen) return false;
    ok = false;
  }

  if (!applyPollingTimeouts()) {
    std::printf("Failed to set timeout : error %ld\n", static_cast<long>(GetLastError()));
    if (!reopen) return false;
    ok = false;
  }
  return ok;
}

BOOL setBaudRate(DWORD rate) {
  lDCB.BaudRate = rate;
  lrc = SetCommState(lport, &lDCB);
  return lrc;
}

void closePort() {
  if (lport != INVALID_HANDLE_VALUE) {
    CloseHandle(lport);
    lport = INVALID_HANDLE_VALUE;
  }
}
