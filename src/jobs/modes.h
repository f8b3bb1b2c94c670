// The mode handlers that the front end dispatches to, one unit each.
#pragma once

#include "common/outcome.h"

Outcome ProgramFPGA(const char* fileName);                  // jobs/fpga.cpp
Outcome ProgramViper(int device, const char* fileName);     // jobs/viper.cpp
Outcome ProgramMicro();                                     // jobs/micro.cpp
Outcome ProgramEDID(const char* fileName);                  // jobs/edid.cpp
Outcome ProgramALL(int device1Present, int device5Present,  // jobs/update_all.cpp
                   int fpgaPresent, int edidPresent);
Outcome Remote(const char* fileName);                       // jobs/remote.cpp
Outcome vxpStatus();                                        // jobs/status.cpp
Outcome ProgramGamma(const char* fileName);                 // jobs/gamma.cpp

// Flash verify (jobs/flash_verify.cpp): 0 when the whole image was compared,
// -1 on failure; `mismatchTotal` receives the number of differing words.
int verify(const char* filename, int device, unsigned long* mismatchTotal);
