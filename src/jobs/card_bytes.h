// Byte-level steps shared by the EDID, gamma and command-script transfers.
#pragma once

#include "common/outcome.h"
#include "platform/win32.h"

class SerialLink;

// Waits until the tick deadline for `a` or `b`, skipping every other byte,
// and returns it; 0 when the deadline passes first or the port fails.
int awaitCardByte(SerialLink& link, unsigned char a, unsigned char b, DWORD deadline);

// Drops what waits on the line until a read brings nothing.  False when the
// card is still talking at `deadline`.
bool drainLine(SerialLink& link, DWORD deadline);

// One byte in one write call.  False when the call fails or the byte did
// not go out within the write time-out in force.
bool sendByte(SerialLink& link, unsigned char byte);

// Ends a failed EDID or gamma transfer: "\nPress any key to continue\n",
// then a key press.
Outcome failedAfterKey();
