#include "jobs/modes.h"

Outcome ProgramMicro() { return modeNotAvailable("MICRO"); }
