// Byte-level waits shared by the EDID and gamma transfers, on the open port.
#pragma once

#include "platform/win32.h"

// Reads single bytes until `a` or `b` arrives and returns it; 0 when the
// tick deadline passes first.  Every other byte is skipped.
int awaitCardByte(unsigned char a, unsigned char b, DWORD deadline);

// Drops what waits on the line into the global work buffer, 2048 bytes a
// read, until a read brings nothing.  False when the card is still talking
// at `deadline`.
bool drainLine(DWORD deadline);
