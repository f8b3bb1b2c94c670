// EDID programming beyond the EDID mode itself.
#pragma once

#include "common/outcome.h"

class SerialLink;

// Sends "#EDID 0\r": the card goes back to its built-in default EDID.  No
// answer is read; Success when the command went out.
Outcome ProgramDefaultEDID(SerialLink& link);
