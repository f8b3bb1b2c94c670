#include "jobs/modes.h"

Outcome ProgramEDID(const char*) { return modeNotAvailable("EDID"); }
