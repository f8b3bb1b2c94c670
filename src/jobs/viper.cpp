#include "jobs/modes.h"

Outcome ProgramViper(int, const char*) { return modeNotAvailable("VIPER"); }
