#include "jobs/modes.h"

Outcome ProgramFPGA(const char*) { return modeNotAvailable("FPGA"); }
