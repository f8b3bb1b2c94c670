// --dry-run: what a mode would do, told from its files alone.  The run
// opens the port and identifies the card as always; then, in place of the
// mode, every file the mode would use is checked as the mode checks it and
// the work is described with the time it should take at 115200 bit/s.
// Nothing that changes the card is sent.
#pragma once

#include <string>

#include "common/outcome.h"
#include "jobs/modes.h"

struct DryRunRequest {
  std::string mode;      // the keyword: FPGA, VIPER, ...
  std::string fileName;  // the file argument the mode takes
  int device = 0;        // VIPER, VERIFY, READ
  UpdateFiles files;     // ALL
  unsigned long readBytes = 0;  // READ: 0 for all the device holds
  bool verifyAfterWrite = false;
};

// The line's share of a run: bytes each way at the rate they go at, and
// the pauses the protocol prescribes.  `lowerBound`: the card sets part of
// the pace (FPGA), so the time is the least the run can take.
struct WireEstimate {
  double bytesAt115200 = 0;
  double bytesAt9600 = 0;
  double pausesMs = 0;
  bool lowerBound = false;

  double seconds() const {
    return (bytesAt115200 * 10.0 / 115200.0 + bytesAt9600 * 10.0 / 9600.0) + pausesMs / 1000.0;
  }
  WireEstimate& operator+=(const WireEstimate& other);
};

// The estimates of the modes' work, from the sizes and contents they
// depend on; the front end's dry run and the tests use them.
WireEstimate viperEstimate(int device, const std::string& driver, const std::string& image);
WireEstimate readEstimate(unsigned long bytes);
WireEstimate edidEstimate(int length);
WireEstimate gammaEstimate();
WireEstimate fpgaEstimate(unsigned long fileBytes);
WireEstimate microEstimate(unsigned long microKernel, unsigned long mainKernel,
                           unsigned long writeKernel, unsigned long imageBytes);

// Checks the files, prints what the mode would do and the time; Success
// when the real run could start.
Outcome dryRun(const DryRunRequest& request);
