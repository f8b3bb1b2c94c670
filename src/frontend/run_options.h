// Options that may stand anywhere on the command line, before or after the
// positional arguments (port, mode, file).  Without them nothing a run
// prints or sends changes.
#pragma once

#include <string>

struct RunOptions {
  bool verifyAfterWrite = false;  // --verify: read each written flash device back
  bool json = false;              // --json: one JSON result object as the last line
  std::string traceFile;          // --trace FILE: every byte both ways, with times
  bool dryRun = false;            // --dry-run: check the files, send nothing that changes the card
  // The command line as typed, options included, for the trace's header;
  // arguments with blanks or quotes in them are quoted.
  std::string commandLine;
};

// Takes the options out of `argv` (keeping argv[0] and the order of the
// rest) and shortens `*argc` to match.  False when an option is malformed
// (--trace without a file name); the caller shows the usage text.  The
// other options are taken all the same, so that --json still holds.
bool takeRunOptions(int* argc, char** argv, RunOptions* options);
