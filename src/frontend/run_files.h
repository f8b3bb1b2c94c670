// The files one run reads and writes, known before the port is opened, and
// the rules they must meet: no two of them are one file (whatever their
// spelling: "b.bin", "./b.bin", a link), and a file the run reads is a
// regular file (a device or a pipe would never end, a folder reads as
// nothing).
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

struct RunFile {
  std::string name;
  bool written = false;  // the run writes it (the trace, READ's backup)
};

// The files a run of `keyword` (upper-cased) reads and writes, from its file
// argument, READ's backup name and the trace ("" when not given).  A device
// file's ISP driver is named by the file's seventh character, as the
// device-file rule picks the device.
std::vector<RunFile> filesOfRun(const std::string& keyword, const std::string& fileArgument,
                                const std::string& backupName, const std::string& traceName);

// Whether two names lead to one file: the same volume and file number when
// both exist, otherwise the same resolved path.
bool sameFile(const std::string& a, const std::string& b);

// The first pair of `files` that are one file with at least one of them
// written: the written one first.  Two files the run only reads may be one.
std::optional<std::pair<RunFile, RunFile>> findClash(const std::vector<RunFile>& files);

class RunReport;

// Why the trace `tracePath` cannot be made because the run of `keyword` uses
// the same file for something else ("it is the file the run writes"), or
// empty.
std::string traceClash(const std::string& keyword, const std::string& fileArgument,
                       const std::string& backupName, const std::string& tracePath);

// A file argument that exists must be a regular file; otherwise prints
// "File NAME is not a regular file." and notes the refusal.
bool isRegularFileArgument(const char* name, RunReport& report);

// ALL: every update file found must be a regular file; false after naming
// the first that is not (a pipe named fpga.xsvf would hold the run for ever).
struct UpdateFiles;
bool updateFilesAreRegular(const UpdateFiles& found, RunReport& report);

// READ: FILE.part left by an interrupted run is replaced only when it is a
// regular file; a link or anything else there refuses the run (exit 2).
std::optional<int> refuseStalePartThatIsNotAFile(const char* backupName, RunReport& report);

// The size and digest of the file the mode is about to read (the file
// argument, appMain.mot for MICRO; none for STATUS, ALL and READ), taken
// once, from a regular file only.
void digestFileToUse(const char* keyword, const char* fileArgument, RunReport& report);
