// The one serial port of a run: its globals, the set-up sequence that opens
// it at 115200 bit/s 8N1 with RTS off, and the time-out records in use.
#pragma once

#include <cstddef>

#include "platform/win32.h"

extern char lportname[256];      // port name as given, upper-cased ("COM1")
extern char lfullportname[256];  // device path, "\\.\COM1"
extern HANDLE lport;             // the open port, or INVALID_HANDLE_VALUE
extern DCB lDCB;                 // line settings as last applied
extern COMMTIMEOUTS ct;          // time-outs as last applied
extern BOOL lrc;                 // result of the latest stored call
extern DWORD lnumbytes;          // count of the latest read or write

// Work area into which the EDID and gamma transfers drain stale input.
constexpr std::size_t kBufferSize = 262144;
extern unsigned char buffer[kBufferSize];

// Opens `lfullportname` and applies the line settings and the polling
// time-outs.  `reopen` false (start-up): the first failure prints its message
// and ends the sequence.  `reopen` true (identification): every failure
// prints its message and the sequence goes on.  True when every step worked.
bool setUpPort(bool reopen);

// Writes into `error` (256 characters) the sentence for the last error after
// a failed open of the port; empty for codes other than 2 and 5.
void errorCheck(char* error);

// Applies a time-out record through `ct`; false (error left for
// GetLastError) when the port refuses it.
bool applyTimeouts(DWORD readInterval, DWORD readMultiplier, DWORD readConstant,
                   DWORD writeMultiplier, DWORD writeConstant);

// The polling time-outs of the port set-up: a read returns at once with what
// is waiting, or after 1 ms with nothing; a write may take 100 ms per byte.
bool applyPollingTimeouts();

// Changes only the bit rate of `lDCB` and applies it; result also in `lrc`.
BOOL setBaudRate(DWORD rate);

// Closes the port if it is open.
void closePort();
