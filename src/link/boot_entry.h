// The two ways to the microcontroller's boot program from the start of a
// run: a line on which no firmware answers (the card already sits in boot
// mode), and an old firmware's menu, whose keys hand the microcontroller
// over to its boot program.
#pragma once

#include "platform/win32.h"

class SerialLink;

// An old firmware's menu keys: CR, '1' and '$' bring up its menu (to which
// identification listens); '6' then hands the microcontroller over.
inline constexpr unsigned char kOldFirmwareMenuKeys[] = {0x0D, '1', '$'};
inline constexpr unsigned char kOldFirmwareBootKey = '6';
// The old firmware takes a key at a time: the pause after each.
inline constexpr DWORD kOldFirmwareKeyPauseMs = 500;

// Writes single 0x00 bytes and returns the count of the last read: a running
// firmware answers, the boot program does not.
DWORD probe(SerialLink& link);

// The key that completes the sequence after identification sent the menu
// keys.  False when it could not be written.
bool sendOldFirmwareBootKey(SerialLink& link);

// The whole sequence, menu keys and the boot key.  False when a key could
// not be written.
bool sendOldFirmwareBootSequence(SerialLink& link);
