// Child processes for running one updater per port.
//
// Each child's standard output and standard error come back through pipes;
// its standard input is the null device (and on Windows it has no console),
// so a child never waits for a key that nobody can press for it: a key wait
// sees the end of input and goes on.  Ctrl-C is caught while a ChildGroup
// lives: the group reports it, and stopAll() ends the children, by force
// those that do not end within a grace time.  Every wait is bounded.
//
// A third pipe, the report channel, carries what a child tells its parent
// for a program to read (one line at a time), apart from what it shows a
// person on its console.  The child finds it through the environment
// variable kReportChannelVariable (a descriptor number on POSIX, a handle
// value on Windows) and opens it with ReportChannel.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// What ChildGroup::wait() saw happen to one child.
struct ChildEvent {
  enum class Kind { Output, Ended };
  Kind kind = Kind::Output;
  std::size_t child = 0;     // index, in the order the children were started
  bool errorStream = false;  // Output: from standard error
  bool reportStream = false;  // Output: from the report channel
  std::string bytes;         // Output: as read, possibly part of a line
  int status = 0;            // Ended: exit status; 128 + N after signal N; 130 after Ctrl-C
  std::string how;           // Ended abnormally: "signal 11", "code 0xC0000005"; else empty
};

class ChildGroup {
 public:
  // Starts catching Ctrl-C (and on POSIX SIGTERM) until destroyed.
  ChildGroup();
  // Ends every child still running (bounded), then restores the handlers.
  ~ChildGroup();
  ChildGroup(const ChildGroup&) = delete;
  ChildGroup& operator=(const ChildGroup&) = delete;

  // Starts `program` with the arguments `args` (args[0] is the name the
  // child sees).  False, with the reason in `*error`, when it cannot start;
  // the child's index is taken all the same.
  bool start(const std::string& program, const std::vector<std::string>& args,
             std::string* error);

  // Waits at most `timeoutMs` for output, an ended child or an interrupt
  // and appends what happened to `*events`.  A child is reported ended once,
  // after its last output.
  void wait(int timeoutMs, std::vector<ChildEvent>* events);

  // Children started and not yet reported ended.
  std::size_t running() const;

  // The exit status an interrupt asks for (130 for Ctrl-C, 143 for
  // SIGTERM), or 0 while none came.
  int interruptStatus() const;

  // Asks every running child to end; those still running `graceMs` later
  // are ended by force during later wait() calls.  On Windows, where the
  // children have no console and so no Ctrl-C of their own, they are ended
  // at once.
  void stopAll(int graceMs);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// The variable that names the report channel in a child's environment.
inline constexpr char kReportChannelVariable[] = "UPDATER_REPORT_CHANNEL";

// In a child of a ChildGroup, its end of the report channel; in any other
// process nothing, and writeLine() does nothing.
class ReportChannel {
 public:
  ReportChannel();
  ~ReportChannel();
  ReportChannel(const ReportChannel&) = delete;
  ReportChannel& operator=(const ReportChannel&) = delete;

  bool isOpen() const { return file_ != nullptr; }
  // Writes `line` and a line end, at once.
  void writeLine(const std::string& line);

 private:
  std::FILE* file_ = nullptr;
};

// The running program's own executable, to start it again; `argv0` when
// the system cannot tell.
std::string ownExecutable(const char* argv0);

// Standard output as a console on which status lines can be redrawn in
// place (cursor up, erase down).  On Windows the console's escape sequences
// are turned on for the object's lifetime and the console mode is restored
// afterwards.  Anything else (a pipe, a file, a dumb terminal) cannot redraw.
class StatusConsole {
 public:
  StatusConsole();
  ~StatusConsole();
  StatusConsole(const StatusConsole&) = delete;
  StatusConsole& operator=(const StatusConsole&) = delete;

  bool redraws() const { return redraws_; }
  int columns() const { return columns_; }
  int rows() const { return rows_; }

 private:
  bool redraws_ = false;
  int columns_ = 80;
  int rows_ = 24;
#ifdef _WIN32
  unsigned long savedMode_ = 0;  // the console mode to restore
#endif
};

// The command line of a Windows process from its arguments, quoted so that
// the runtime's parser gives back exactly these arguments: blanks and
// quotes are quoted, backslashes doubled only where a quote follows them.
inline std::string windowsCommandLine(const std::vector<std::string>& args) {
  std::string line;
  for (const std::string& arg : args) {
    if (!line.empty()) line += ' ';
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
      line += arg;
      continue;
    }
    line += '"';
    std::size_t backslashes = 0;
    for (char c : arg) {
      if (c == '\\') {
        ++backslashes;
        continue;
      }
      if (c == '"') backslashes = backslashes * 2 + 1;
      line.append(backslashes, '\\');
      backslashes = 0;
      line += c;
    }
    line.append(backslashes * 2, '\\');  // before the closing quote
    line += '"';
  }
  return line;
}

}  // namespace platform
