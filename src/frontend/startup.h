// Command-line front end of the updater.
#pragma once

// Exit statuses of a run.
enum ExitStatus {
  kExitOk = 0,       // the run did what was asked
  kExitFailed = 1,   // the operation or the port failed
  kExitRefused = 2,  // the command line or a file argument was refused
};

// Writes an upper-cased copy of `argv` into `data` (which holds its length
// plus one): keywords and port names are matched whatever case they were
// typed in.  Only the letters a to z change.
void caseSensitive(const char* argv, char* data);

// The whole run: start-up, identification, argument checks, one mode, exit
// path.  Returns the exit status.
int runUpdater(int argc, char** argv);
