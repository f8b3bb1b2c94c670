// Child processes on Windows: CreateProcess with anonymous pipes for
// standard output and standard error and NUL for standard input.  Anonymous
// pipes cannot be waited on, so one reader thread per pipe blocks in
// ReadFile and queues what it reads; the main thread waits on the queue's
// event and the Ctrl-C event with a time-out.
//
// The children run without a console (DETACHED_PROCESS): a key wait in a
// child finds no console input and goes on at once instead of competing
// for the operator's keys, and Ctrl-C reaches only the updater, whose
// console handler notes it; stopAll() then ends the children.  A job object
// that kills its processes when closed makes sure no child outlives the
// group.
#ifdef _WIN32

#include "platform/child_process.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>

#include <fcntl.h>
#include <io.h>

#include "platform/win32.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace platform {
namespace {

// The Ctrl-C event of the living ChildGroup.  A console handler can only
// reach the group through a variable like this one; it is set and cleared
// by the group's constructor and destructor.
HANDLE interruptEvent = nullptr;

BOOL WINAPI onConsoleEvent(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  if (interruptEvent != nullptr) SetEvent(interruptEvent);
  return TRUE;  // the updater stays to end its children and report
}

constexpr DWORD kControlCExit = 0xC000013Au;  // STATUS_CONTROL_C_EXIT
// After a child ends, output still in the pipes is read; a descendant that
// holds a pipe open gets this long before the child is reported ended.
constexpr DWORD kPipeGraceMs = 2000;

struct Chunk {
  std::size_t child;
  int stream;  // 0 standard output, 1 standard error, 2 the report channel
  std::string bytes;
  bool end;  // the pipe is closed
};

struct Child {
  HANDLE process = nullptr;
  bool open[3] = {false, false, false};
  bool exited = false;
  DWORD exitedAt = 0;
  bool reported = false;
  int status = 0;
  std::string how;
};

}  // namespace

struct ChildGroup::Impl {
  CRITICAL_SECTION lock;
  std::deque<Chunk> queue;
  HANDLE dataEvent = nullptr;  // auto-reset: something was queued
  HANDLE interrupt = nullptr;  // manual reset: Ctrl-C
  HANDLE job = nullptr;
  std::vector<Child> children;
  struct Reader {
    Impl* group;
    std::size_t child;
    int stream;
    HANDLE pipe;
    HANDLE thread;
  };
  std::deque<Reader> readers;  // stable addresses for the threads
  int interruptStatus = 0;
  bool stopping = false;
  DWORD killAt = 0;

  void push(Chunk chunk) {
    EnterCriticalSection(&lock);
    queue.push_back(std::move(chunk));
    LeaveCriticalSection(&lock);
    SetEvent(dataEvent);
  }

  static DWORD WINAPI readPipe(LPVOID parameter) {
    Reader* r = static_cast<Reader*>(parameter);
    char buffer[16384];
    for (;;) {
      DWORD n = 0;
      if (!ReadFile(r->pipe, buffer, sizeof buffer, &n, nullptr)) break;
      if (n > 0) r->group->push({r->child, r->stream, std::string(buffer, n), false});
    }
    r->group->push({r->child, r->stream, std::string(), true});
    return 0;
  }

  void takeQueued(std::vector<ChildEvent>* events) {
    std::deque<Chunk> taken;
    EnterCriticalSection(&lock);
    taken.swap(queue);
    LeaveCriticalSection(&lock);
    for (Chunk& chunk : taken) {
      Child& c = children[chunk.child];
      if (chunk.end) {
        c.open[chunk.stream] = false;
        continue;
      }
      if (c.reported) continue;
      ChildEvent e;
      e.child = chunk.child;
      e.errorStream = chunk.stream == 1;
      e.reportStream = chunk.stream == 2;
      e.bytes = std::move(chunk.bytes);
      events->push_back(std::move(e));
    }
  }

  void noteExit(Child& c) {
    if (c.exited || c.process == nullptr) return;
    if (WaitForSingleObject(c.process, 0) != WAIT_OBJECT_0) return;
    c.exited = true;
    c.exitedAt = GetTickCount();
    DWORD code = 1;
    GetExitCodeProcess(c.process, &code);
    if (code == kControlCExit) {
      c.status = 130;
      c.how = "Ctrl-C";
    } else if (code > 255) {
      c.status = 1;
      char text[32];
      std::snprintf(text, sizeof text, "code 0x%08lX", static_cast<unsigned long>(code));
      c.how = text;
    } else {
      c.status = static_cast<int>(code);
    }
  }

  // Reports the children that ended and whose output has all been read.
  // Returns the longest the caller may wait before looking again.
  DWORD reportEnded(std::vector<ChildEvent>* events, DWORD limit) {
    const DWORD now = GetTickCount();
    for (std::size_t i = 0; i < children.size(); ++i) {
      Child& c = children[i];
      if (c.reported) continue;
      noteExit(c);
      const bool drained = !c.open[0] && !c.open[1] && !c.open[2];
      if (!c.exited) {
        // Pipes closed a moment before the process ends: look again soon.
        if (drained && limit > 10) limit = 10;
        continue;
      }
      if (!drained && now - c.exitedAt < kPipeGraceMs) {
        const DWORD left = kPipeGraceMs - (now - c.exitedAt);
        if (left < limit) limit = left;
        continue;
      }
      c.reported = true;
      ChildEvent e;
      e.kind = ChildEvent::Kind::Ended;
      e.child = i;
      e.status = c.status;
      e.how = c.how;
      events->push_back(std::move(e));
    }
    return limit;
  }

  void killStragglers() {
    for (Child& c : children)
      if (!c.exited && c.process != nullptr) TerminateProcess(c.process, 130);
  }
};

ChildGroup::ChildGroup() : impl_(std::make_unique<Impl>()) {
  Impl& g = *impl_;
  InitializeCriticalSection(&g.lock);
  g.dataEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  g.interrupt = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  interruptEvent = g.interrupt;
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
  g.job = CreateJobObjectA(nullptr, nullptr);
  if (g.job != nullptr) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(g.job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  }
}

ChildGroup::~ChildGroup() {
  Impl& g = *impl_;
  g.killStragglers();
  for (Child& c : g.children)
    if (c.process != nullptr) WaitForSingleObject(c.process, 2000);
  bool readersEnded = true;
  for (Impl::Reader& r : g.readers) {
    if (WaitForSingleObject(r.thread, 2000) == WAIT_TIMEOUT) {
      CancelSynchronousIo(r.thread);  // a descendant still holds the pipe
      if (WaitForSingleObject(r.thread, 1000) == WAIT_TIMEOUT) {
        readersEnded = false;
        continue;
      }
    }
    CloseHandle(r.thread);
    CloseHandle(r.pipe);
  }
  SetConsoleCtrlHandler(onConsoleEvent, FALSE);
  interruptEvent = nullptr;
  for (Child& c : g.children)
    if (c.process != nullptr) CloseHandle(c.process);
  if (g.job != nullptr) CloseHandle(g.job);
  if (!readersEnded) {
    // A reader thread still uses the group: leave it be rather than free
    // what it writes to.
    (void)impl_.release();
    return;
  }
  CloseHandle(g.dataEvent);
  CloseHandle(g.interrupt);
  DeleteCriticalSection(&g.lock);
}

bool ChildGroup::start(const std::string& program, const std::vector<std::string>& args,
                       std::string* error) {
  Impl& g = *impl_;
  g.children.emplace_back();
  const std::size_t index = g.children.size() - 1;
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  // Standard output, standard error and the report channel.
  HANDLE read[3] = {nullptr, nullptr, nullptr}, write[3] = {nullptr, nullptr, nullptr};
  for (int s = 0; s < 3; ++s) {
    if (!CreatePipe(&read[s], &write[s], &inherit, 0)) {
      *error = "cannot make a pipe: error " + std::to_string(GetLastError());
      for (int k = 0; k < s; ++k) {
        CloseHandle(read[k]);
        CloseHandle(write[k]);
      }
      g.children[index].reported = true;
      return false;
    }
    SetHandleInformation(read[s], HANDLE_FLAG_INHERIT, 0);
  }
  HANDLE nul = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           OPEN_EXISTING, 0, nullptr);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nul;
  startup.hStdOutput = write[0];
  startup.hStdError = write[1];
  std::string commandLine = windowsCommandLine(args);
  std::vector<char> mutableLine(commandLine.begin(), commandLine.end());
  mutableLine.push_back('\0');
  PROCESS_INFORMATION process{};
  // The child inherits the report channel's write end under the same
  // value; the variable that names it is set for the start alone.
  const std::string channel =
      std::to_string(static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(write[2])));
  SetEnvironmentVariableA(kReportChannelVariable, channel.c_str());
  // Children are started one after the other on this thread, and each
  // one's write ends are closed before the next starts, so no child
  // inherits another's pipe and every pipe ends with its child.
  const BOOL started =
      CreateProcessA(program.c_str(), mutableLine.data(), nullptr, nullptr, TRUE,
                     CREATE_SUSPENDED | DETACHED_PROCESS, nullptr, nullptr, &startup, &process);
  const DWORD startError = GetLastError();
  SetEnvironmentVariableA(kReportChannelVariable, nullptr);
  for (HANDLE end : write) CloseHandle(end);
  if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
  if (!started) {
    for (HANDLE end : read) CloseHandle(end);
    *error = "cannot start " + program + ": error " + std::to_string(startError);
    g.children[index].reported = true;
    return false;
  }
  if (g.job != nullptr) AssignProcessToJobObject(g.job, process.hProcess);
  ResumeThread(process.hThread);
  CloseHandle(process.hThread);
  Child& c = g.children[index];
  c.process = process.hProcess;
  for (int s = 0; s < 3; ++s) {
    g.readers.push_back({&g, index, s, read[s], nullptr});
    Impl::Reader& r = g.readers.back();
    r.thread = CreateThread(nullptr, 0, Impl::readPipe, &r, 0, nullptr);
    if (r.thread == nullptr) {
      // Without a reader the pipe is closed: the child's writes to it fail.
      CloseHandle(r.pipe);
      g.readers.pop_back();
      continue;
    }
    c.open[s] = true;
  }
  return true;
}

void ChildGroup::wait(int timeoutMs, std::vector<ChildEvent>* events) {
  Impl& g = *impl_;
  const std::size_t before = events->size();
  if (g.stopping && static_cast<LONG>(GetTickCount() - g.killAt) >= 0) g.killStragglers();
  g.takeQueued(events);
  DWORD limit = g.reportEnded(events, timeoutMs < 0 ? 0 : static_cast<DWORD>(timeoutMs));
  if (events->size() > before) return;
  if (g.stopping) {
    const LONG left = static_cast<LONG>(g.killAt - GetTickCount());
    if (left < static_cast<LONG>(limit)) limit = left < 0 ? 0 : static_cast<DWORD>(left);
  }
  HANDLE handles[2] = {g.dataEvent, g.interrupt};
  const DWORD count = g.interruptStatus == 0 ? 2 : 1;  // the Ctrl-C event stays set
  const DWORD woke = WaitForMultipleObjects(count, handles, FALSE, limit);
  if (woke == WAIT_OBJECT_0 + 1) g.interruptStatus = 130;
  g.takeQueued(events);
  g.reportEnded(events, 0);
}

std::size_t ChildGroup::running() const {
  std::size_t n = 0;
  for (const Child& c : impl_->children) n += c.reported ? 0 : 1;
  return n;
}

int ChildGroup::interruptStatus() const { return impl_->interruptStatus; }

void ChildGroup::stopAll(int graceMs) {
  Impl& g = *impl_;
  if (g.stopping) return;
  g.stopping = true;
  // A child without a console has no Ctrl-C of its own to end by: it is
  // ended here, which closes its port like any end of a process.
  (void)graceMs;
  g.killAt = GetTickCount();
  g.killStragglers();
}

ReportChannel::ReportChannel() {
  const char* value = std::getenv(kReportChannelVariable);
  if (value == nullptr || *value == '\0') return;
  char* end = nullptr;
  const unsigned long long number = std::strtoull(value, &end, 10);
  if (*end != '\0' || number == 0) return;
  HANDLE pipe = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(number));
  // A value that is not a pipe this process holds is none.
  if (GetFileType(pipe) != FILE_TYPE_PIPE) return;
  SetHandleInformation(pipe, HANDLE_FLAG_INHERIT, 0);  // not for a grandchild
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(pipe), _O_WRONLY | _O_BINARY);
  if (descriptor < 0) return;
  file_ = _fdopen(descriptor, "wb");
  if (file_ == nullptr) _close(descriptor);
}

std::string ownExecutable(const char* argv0) {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (n > 0 && n < MAX_PATH) return std::string(path, n);
  return argv0;
}

StatusConsole::StatusConsole() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(out, &mode)) return;
  if (!SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) return;
  savedMode_ = mode;
  redraws_ = true;
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(out, &info)) {
    columns_ = info.srWindow.Right - info.srWindow.Left + 1;
    rows_ = info.srWindow.Bottom - info.srWindow.Top + 1;
  }
}

StatusConsole::~StatusConsole() {
  if (redraws_) SetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), static_cast<DWORD>(savedMode_));
}

}  // namespace platform

#endif  // _WIN32
