#include "jobs/modes.h"

Outcome Remote(const char*) { return modeNotAvailable("REMOTE"); }
