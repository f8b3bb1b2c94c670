#include "jobs/modes.h"

Outcome vxpStatus() { return modeNotAvailable("STATUS"); }
