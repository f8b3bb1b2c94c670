#include "jobs/modes.h"

Outcome ProgramGamma(const char*) { return modeNotAvailable("GAMMA"); }
