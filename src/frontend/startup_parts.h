// The parts of a single run's start-up, shared by its three units: the
// command line and its help (startup_command.cpp), the table of modes with
// their file rules (startup_modes.cpp), and the run (startup.cpp).
#pragma once

#include <optional>
#include <string>

#include "common/outcome.h"
#include "frontend/run_files.h"
#include "frontend/run_options.h"
#include "frontend/run_report.h"
#include "frontend/startup.h"
#include "jobs/job_findings.h"
#include "jobs/modes.h"
#include "link/identification.h"
#include "platform/win32.h"

class SerialLink;

namespace startup {

inline constexpr int kVersionMajor = 2;
inline constexpr int kVersionMinor = 30;

// What the command line asks for.  Arguments that do not fit are refused
// before anything is copied.
struct CommandLine {
  char portName[100] = {};  // upper-cased ("COM7")
  char keyword[100] = {};   // upper-cased mode keyword; empty when missing
  char fileName[256] = {};  // as typed; empty when missing
  bool micro = false;       // the keyword is MICRO
  // READ: the device, the file to write and the byte count (0: all).
  int readDevice = 0;
  char readFile[256] = {};
  unsigned long readBytes = 0;
  RunOptions options;       // --verify, --json, --trace
  bool fineTimer = false;   // the system granted wake-ups on time
};

// What a mode handler is called with, filled by its file rule.
struct ModeArguments {
  const char* fileName = "";
  int device = 0;      // the device-file rule: 1, 5 or 7
  UpdateFiles files;   // the update-file discovery of ALL
  const char* readFile = "";      // READ: the file to write
  unsigned long readBytes = 0;    // READ: bytes to read, 0 for all
  bool verifyAfterWrite = false;  // --verify
  FileDigest* saved = nullptr;    // READ: what the backup holds, once saved
  JobFindings* findings = nullptr;  // what the job learns of its failure
};

enum class FileRule {
  kNone,         // no file argument, none checked (MICRO, STATUS)
  kExtension,    // the name ends in the mode's extension and the file exists
  kDeviceFile,   // "Device", 1, 5 or 7, ".bin", and the file exists
  kUpdateFiles,  // no file argument; the update files of the current folder
  kReadBackup,   // READ N FILE [BYTES], checked before the port is opened
};

// One row per mode.  Keywords are compared after upper-casing, in the order
// of the rows; the first match wins.
struct ModeEntry {
  const char* keyword;
  FileRule fileRule;
  const char* extension;    // kExtension: the ending the name must have
  const char* badNameText;  // kExtension: printed for a name without it
  bool videoInputOnly;      // recognised only on models with a DVI or HDMI input
  // Success exits 0, failure 1.
  Outcome (*run)(SerialLink& link, const ModeArguments& arguments);
};

// The command line and its help.

void printUsage(bool takesEdid);

void printKeywordError(bool takesEdid);

bool exists(const char* name);

// The end of every run but the argument-less one and --help/--version.
int finish(int status);

// Reads the command line into `command`.  Returns the exit status when the
// run ends here: after the help or the version text (no exit line), or after
// refusing an overlong argument or a port name that is not a COM port.
std::optional<int> readCommandLine(int argc, char** argv, CommandLine* command,
                                   RunReport& report);

std::string versionText();

// The modes and their file rules.

// The row of `keyword`, or nullptr.  EDID is known only to models that take
// an EDID; on the others the word is refused like any unknown keyword.
const ModeEntry* findMode(const char* keyword, const CardIdentity& card);

// The argument count, then the keyword.  A file argument is needed unless
// the mode takes none; arguments after it are ignored.  Returns the exit
// status when the run ends here.
std::optional<int> checkArguments(int argc, const ModeEntry* mode, const CardIdentity& card,
                                  RunReport& report);

// Checks the file argument by the mode's rule and fills `arguments`.
// Returns the exit status when the run ends here.
std::optional<int> applyFileRule(const ModeEntry& mode, const CommandLine& command,
                                 const CardIdentity& card, ModeArguments* arguments,
                                 RunReport& report);

// MICRO checks its files before anything is sent: a missing appMain.mot
// (no message of its own) or one of a known-bad size is refused, and so is
// one that cannot be written as it stands, since a corrupt image must not
// half-write the microcontroller's flash.  Returns the exit status when the
// run ends here.
std::optional<int> checkMicroFilesFirst(const CommandLine& command, RunReport& report);

// MICRO changes the bit rate (and so does the boot-mode branch for an old
// firmware), which a raw TCP port cannot carry: refused before the
// connection is made, so that nothing reaches the card.
std::optional<int> refuseRateChangeOnRawPort(const CommandLine& command, RunReport& report);

}  // namespace startup
