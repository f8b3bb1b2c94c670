// The mode handlers that the front end dispatches to, one unit each.  Every
// handler talks to the card through the link it is handed.
#pragma once

#include "common/outcome.h"
#include "common/sha256.h"

class SerialLink;
struct JobFindings;
struct MismatchRecord;

// The update files mode ALL found in the current directory.
struct UpdateFiles {
  bool device1 = false;  // Device1.bin with SFDriver.bin
  bool device5 = false;  // Device5.bin with FDriver.bin
  bool fpga = false;     // fpga.xsvf
  bool edid = false;     // EDID.bin (models with a DVI or HDMI input)
};

Outcome ProgramFPGA(SerialLink& link, const char* fileName);              // jobs/fpga.cpp
// `verifyAfterWrite` (--verify): each written flash device is read back
// and compared with its image; any difference fails the run.  `findings`,
// when given, learns the step that failed and the differences found.
Outcome ProgramViper(SerialLink& link, int device, const char* fileName,  // jobs/viper.cpp
                     bool verifyAfterWrite = false, JobFindings* findings = nullptr);
Outcome ProgramMicro(SerialLink& link);                                   // jobs/micro.cpp
Outcome ProgramEDID(SerialLink& link, const char* fileName);              // jobs/edid.cpp
Outcome ProgramALL(SerialLink& link, const UpdateFiles& files,           // jobs/update_all.cpp
                   bool verifyAfterWrite = false, JobFindings* findings = nullptr);
Outcome Remote(SerialLink& link, const char* fileName);                   // jobs/remote.cpp
Outcome vxpStatus(SerialLink& link);                                      // jobs/status.cpp
Outcome ProgramGamma(SerialLink& link, const char* fileName);             // jobs/gamma.cpp

// VERIFY mode (jobs/flash_verify.cpp): success only when every word of the
// image was compared and none differs.
Outcome ProgramVerify(SerialLink& link, int device, const char* fileName,
                      JobFindings* findings = nullptr);

// READ mode (jobs/flash_read.cpp): reads flash device `device` (1, 5 or 7)
// into `fileName`; `byteCount` 0 reads the most the device holds.  The file
// appears only once every block has arrived, whole; `saved` then gets the
// size and digest of the bytes written.
Outcome ProgramRead(SerialLink& link, int device, const char* fileName, unsigned long byteCount,
                    FileDigest* saved = nullptr);

// Flash verify: 0 when the whole image was compared, -1 on failure;
// `mismatchTotal` receives the number of differing words.
int verify(SerialLink& link, const char* filename, int device, unsigned long* mismatchTotal);
// The same, with the differing words recorded in `record` when given; the
// trace notes each of them.
int verify(SerialLink& link, const char* filename, int device, unsigned long* mismatchTotal,
           MismatchRecord* record);
