#include "jobs/modes.h"

Outcome ProgramALL(int, int, int, int) { return modeNotAvailable("ALL"); }
