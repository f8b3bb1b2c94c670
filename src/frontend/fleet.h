// Several cards in one run: `updater COM3,COM4,COMUSB0 VIPER Device5.bin`
// runs the same command once per port, in parallel, each in a child process
// of its own (this program again, with one port and the rest of the command
// line), and ends with one summary table.  The children share nothing; the
// parent only starts them, shows their output under the port's name and
// collects their results.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/json_writer.h"

// True when the port argument (the first argument that is not an option)
// lists several ports, that is holds a comma.
bool isFleetCommandLine(int argc, char** argv);

// The run over every listed port, each child being `program` (by default
// this program's own executable).  Returns the exit status: 0 when every
// port succeeded, else the highest status of a child; 2 when the port list
// is refused before anything starts; 130 after Ctrl-C.
int runFleet(int argc, char** argv);
int runFleet(int argc, char** argv, const std::string& program);

namespace fleet {

// Splits the port argument at its commas into upper-cased port names.
// False, with the text to print in `*refusal`, when a name is empty or is
// not a COM port name, or when a port is listed twice.
bool splitPortList(const std::string& argument, std::vector<std::string>* ports,
                   std::string* refusal);

// True, with the text to print in `*refusal`, when two of `ports` lead to
// one device ("COM07" and "COM7", or two UPDATER_PORT_ names for one
// terminal): the second run could never open it.
bool refuseOnePortTwice(const std::vector<std::string>& ports, std::string* refusal);

// `name` with "-PORT" put before its extension ("trace.log", "COM3" ->
// "trace-COM3.log"), so that children given the same file name to write
// each write a file of their own.
std::string perPortFileName(const std::string& name, const std::string& port);

// The child's command line for `port`: `args` (the parent's, args[0]
// included) with the port argument (at `positional[0]`) replaced, the files
// the run writes (--trace, and READ's backup file) made per port, and
// --json added when it is not there.  `positional` holds the indices of
// the arguments that are not options.
std::vector<std::string> childArguments(const std::vector<std::string>& args,
                                        const std::vector<std::size_t>& positional,
                                        const std::string& port);

// A console line as the Windows console shows it: a carriage return goes
// back to the line's start (what follows overwrites), a tab writes blanks up
// to the next multiple of 8 columns (so the tabs after "Job at 100%" wipe
// out the end of a longer progress line), other control characters are
// dropped, trailing blanks are cut.
std::string renderLine(std::string_view raw);

// One child's output stream cut into the finished lines the parent shows,
// rendered.  Empty lines are left out.
class LineSplitter {
 public:
  void feed(std::string_view bytes, std::vector<std::string>* lines);
  // The end of the stream: an unfinished line counts as finished.
  void finish(std::vector<std::string>* lines);
  // What a console shows now of the unfinished line.
  std::string live() const;

 private:
  void finishLine(std::vector<std::string>* lines);

  std::string pending_;
};

// Reads `text` as exactly one JSON object, into `*object` (when not null).
// False when `text` is anything else.
bool readJsonObject(std::string_view text, Json* object);

// A scalar member as text: a string unescaped, a number or true/false as
// written; empty for null, an object or an array.
std::string jsonScalar(const Json& value);

// What the summary shows of one port.
struct PortResult {
  std::string port;
  std::string card;      // model name, " PLUS" added for a PLUS card; empty when unknown
  std::string firmware;  // empty when unknown
  bool started = false;
  int status = 0;          // the child's exit status
  std::string how;         // an abnormal end ("signal 9"); empty after a normal exit
  std::string failedStep;  // where the child's run stopped, from its result
  double seconds = 0;
};

// "success", "refused (exit 2)", "failure (exit 1) at open", "interrupted".
std::string outcomeText(const PortResult& result);

// The table printed at the end: a heading and one row per port.
std::string summaryTable(const std::vector<PortResult>& results);

// 0 only when every status is 0, else the highest; `interruptStatus` when
// the run was interrupted.
int fleetExitStatus(const std::vector<int>& statuses, int interruptStatus);

}  // namespace fleet
