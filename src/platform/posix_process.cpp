// Child processes on POSIX: posix_spawn with pipes for standard output and
// standard error and /dev/null for standard input; one poll() over every
// pipe and a wake-up pipe that the signal handler writes to (SIGINT,
// SIGTERM, and SIGCHLD so that a child's end wakes the wait at once).
#ifndef _WIN32

#include "platform/child_process.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platform {
namespace {

// The report channel's descriptor in a child.
constexpr int kReportChannelDescriptor = 3;

// Write end of the wake-up pipe of the living ChildGroup.  A signal handler
// can only reach the group through a variable like this one; it is set and
// cleared by the group's constructor and destructor.
volatile sig_atomic_t wakeFd = -1;

void onSignal(int signo) {
  const int saved = errno;
  const unsigned char code = static_cast<unsigned char>(signo);
  if (wakeFd >= 0) (void)!::write(wakeFd, &code, 1);
  errno = saved;
}

uint64_t nowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec / 1000000);
}

// After a child ends, output still in the pipes is read; a descendant that
// holds a pipe open gets this long before the pipe is closed on it.
constexpr uint64_t kPipeGraceMs = 2000;

struct Child {
  pid_t pid = -1;
  int pipes[3] = {-1, -1, -1};  // read ends: standard output, standard error, report
  bool reaped = false;
  uint64_t reapedAt = 0;
  bool reported = false;
  int status = 0;
  std::string how;
};

void closeFd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

}  // namespace

struct ChildGroup::Impl {
  std::vector<Child> children;
  int wake[2] = {-1, -1};
  struct sigaction oldInt {}, oldTerm{}, oldChld{};
  int interrupt = 0;
  bool stopping = false;
  uint64_t killAt = 0;

  void reap(Child& c) {
    if (c.reaped || c.pid < 0) return;
    int raw = 0;
    const pid_t r = waitpid(c.pid, &raw, WNOHANG);
    if (r == 0) return;
    c.reaped = true;
    c.reapedAt = nowMs();
    if (r < 0) {
      c.status = 1;
      c.how = "lost";
    } else if (WIFEXITED(raw)) {
      c.status = WEXITSTATUS(raw);
    } else if (WIFSIGNALED(raw)) {
      c.status = 128 + WTERMSIG(raw);
      c.how = "signal " + std::to_string(WTERMSIG(raw));
    }
  }

  // Reports the children that ended and whose output has all been read.
  void reportEnded(std::vector<ChildEvent>* events) {
    const uint64_t now = nowMs();
    for (std::size_t i = 0; i < children.size(); ++i) {
      Child& c = children[i];
      reap(c);
      if (c.reported || !c.reaped) continue;
      if (c.pipes[0] >= 0 || c.pipes[1] >= 0 || c.pipes[2] >= 0) {
        if (now - c.reapedAt < kPipeGraceMs) continue;
        for (int& pipe : c.pipes) closeFd(&pipe);
      }
      c.reported = true;
      ChildEvent e;
      e.kind = ChildEvent::Kind::Ended;
      e.child = i;
      e.status = c.status;
      e.how = c.how;
      events->push_back(std::move(e));
    }
  }

  void killStragglers() {
    for (Child& c : children)
      if (!c.reaped && c.pid > 0) kill(c.pid, SIGKILL);
  }
};

ChildGroup::ChildGroup() : impl_(std::make_unique<Impl>()) {
  if (pipe2(impl_->wake, O_CLOEXEC | O_NONBLOCK) != 0) impl_->wake[0] = impl_->wake[1] = -1;
  wakeFd = impl_->wake[1];
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, &impl_->oldInt);
  sigaction(SIGTERM, &sa, &impl_->oldTerm);
  sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
  sigaction(SIGCHLD, &sa, &impl_->oldChld);
}

ChildGroup::~ChildGroup() {
  Impl& g = *impl_;
  // Children still running are asked to end, then killed; at most two
  // seconds in all, in short sleeps.
  for (Child& c : g.children)
    if (!c.reaped && c.pid > 0) kill(c.pid, SIGINT);
  const uint64_t until = nowMs() + 2000;
  for (;;) {
    bool left = false;
    for (Child& c : g.children) {
      g.reap(c);
      left = left || (!c.reaped && c.pid > 0);
    }
    if (!left) break;
    if (nowMs() >= until) {
      g.killStragglers();
      for (Child& c : g.children)
        if (!c.reaped && c.pid > 0) waitpid(c.pid, nullptr, 0);
      break;
    }
    poll(nullptr, 0, 10);
  }
  for (Child& c : g.children) {
    for (int& pipe : c.pipes) closeFd(&pipe);
  }
  sigaction(SIGINT, &g.oldInt, nullptr);
  sigaction(SIGTERM, &g.oldTerm, nullptr);
  sigaction(SIGCHLD, &g.oldChld, nullptr);
  wakeFd = -1;
  closeFd(&g.wake[0]);
  closeFd(&g.wake[1]);
}

bool ChildGroup::start(const std::string& program, const std::vector<std::string>& args,
                       std::string* error) {
  impl_->children.emplace_back();
  Child& c = impl_->children.back();
  // Standard output, standard error and the report channel.
  int ends[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
  for (auto& end : ends) {
    if (pipe2(end, O_CLOEXEC) == 0) continue;
    *error = std::string("cannot make a pipe: ") + std::strerror(errno);
    for (auto& made : ends) {
      closeFd(&made[0]);
      closeFd(&made[1]);
    }
    c.reaped = true;
    c.reported = true;
    return false;
  }
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  // The environment, with the report channel's descriptor in place of any
  // that came down from a parent.
  const std::string channel = std::string(kReportChannelVariable) + "=" +
                              std::to_string(kReportChannelDescriptor);
  std::vector<char*> environment;
  const std::size_t nameLength = std::strlen(kReportChannelVariable);
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const bool same = std::strncmp(*entry, kReportChannelVariable, nameLength) == 0 &&
                      (*entry)[nameLength] == '=';
    if (!same) environment.push_back(*entry);
  }
  environment.push_back(const_cast<char*>(channel.c_str()));
  environment.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, ends[0][1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, ends[1][1], STDERR_FILENO);
  posix_spawn_file_actions_adddup2(&actions, ends[2][1], kReportChannelDescriptor);
  // The child starts with the default actions for the signals the group
  // catches, and with nothing blocked.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults, none;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGPIPE);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const int rc =
      posix_spawnp(&pid, program.c_str(), &actions, &attr, argv.data(), environment.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  for (auto& end : ends) closeFd(&end[1]);
  if (rc != 0) {
    for (auto& end : ends) closeFd(&end[0]);
    *error = "cannot start " + program + ": " + std::strerror(rc);
    c.reaped = true;
    c.reported = true;
    return false;
  }
  c.pid = pid;
  for (int s = 0; s < 3; ++s) {
    fcntl(ends[s][0], F_SETFL, fcntl(ends[s][0], F_GETFL) | O_NONBLOCK);
    c.pipes[s] = ends[s][0];
  }
  return true;
}

void ChildGroup::wait(int timeoutMs, std::vector<ChildEvent>* events) {
  Impl& g = *impl_;
  const std::size_t before = events->size();
  g.reportEnded(events);
  if (g.stopping && nowMs() >= g.killAt) g.killStragglers();

  std::vector<pollfd> fds;
  std::vector<std::pair<std::size_t, int>> owners;  // child, stream
  if (g.wake[0] >= 0) fds.push_back({g.wake[0], POLLIN, 0});
  uint64_t limit = static_cast<uint64_t>(timeoutMs < 0 ? 0 : timeoutMs);
  if (events->size() > before) limit = 0;
  const uint64_t now = nowMs();
  for (std::size_t i = 0; i < g.children.size(); ++i) {
    Child& c = g.children[i];
    for (int s = 0; s < 3; ++s) {
      if (c.pipes[s] < 0) continue;
      fds.push_back({c.pipes[s], POLLIN, 0});
      owners.emplace_back(i, s);
    }
    // An ended child whose pipe a descendant holds: wake when its grace ends.
    if (c.reaped && !c.reported) {
      const uint64_t left = c.reapedAt + kPipeGraceMs > now ? c.reapedAt + kPipeGraceMs - now : 0;
      if (left < limit) limit = left;
    }
  }
  if (g.stopping) {
    const uint64_t left = g.killAt > now ? g.killAt - now : 0;
    if (left < limit) limit = left;
  }
  const int ready = poll(fds.data(), fds.size(), static_cast<int>(limit));
  if (ready > 0) {
    std::size_t first = 0;
    if (g.wake[0] >= 0) {
      first = 1;
      if (fds[0].revents & POLLIN) {
        unsigned char codes[64];
        ssize_t n;
        while ((n = ::read(g.wake[0], codes, sizeof codes)) > 0)
          for (ssize_t k = 0; k < n; ++k)
            if (g.interrupt == 0 && codes[k] != SIGCHLD) g.interrupt = 128 + codes[k];
      }
    }
    for (std::size_t k = first; k < fds.size(); ++k) {
      if (fds[k].revents == 0) continue;
      const auto [child, stream] = owners[k - first];
      Child& c = g.children[child];
      char buffer[16384];
      const ssize_t n = ::read(c.pipes[stream], buffer, sizeof buffer);
      if (n > 0) {
        ChildEvent e;
        e.child = child;
        e.errorStream = stream == 1;
        e.reportStream = stream == 2;
        e.bytes.assign(buffer, static_cast<std::size_t>(n));
        events->push_back(std::move(e));
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        closeFd(&c.pipes[stream]);
      }
    }
  }
  g.reportEnded(events);
}

std::size_t ChildGroup::running() const {
  std::size_t n = 0;
  for (const Child& c : impl_->children) n += c.reported ? 0 : 1;
  return n;
}

int ChildGroup::interruptStatus() const { return impl_->interrupt; }

void ChildGroup::stopAll(int graceMs) {
  Impl& g = *impl_;
  if (g.stopping) return;
  g.stopping = true;
  g.killAt = nowMs() + static_cast<uint64_t>(graceMs < 0 ? 0 : graceMs);
  for (Child& c : g.children)
    if (!c.reaped && c.pid > 0) kill(c.pid, SIGINT);
}

ReportChannel::ReportChannel() {
  const char* value = std::getenv(kReportChannelVariable);
  if (value == nullptr || std::to_string(kReportChannelDescriptor) != value) return;
  // A descriptor that is not open, or not a pipe's write end, is none.
  const int flags = fcntl(kReportChannelDescriptor, F_GETFL);
  if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) return;
  fcntl(kReportChannelDescriptor, F_SETFD, FD_CLOEXEC);
  file_ = fdopen(kReportChannelDescriptor, "w");
}

std::string ownExecutable(const char* argv0) {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n > 0) return std::string(path, static_cast<std::size_t>(n));
  return argv0;
}

StatusConsole::StatusConsole() {
  const char* term = std::getenv("TERM");
  if (!isatty(STDOUT_FILENO) || term == nullptr || std::strcmp(term, "dumb") == 0) return;
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
    columns_ = size.ws_col;
    rows_ = size.ws_row > 0 ? size.ws_row : rows_;
  }
  redraws_ = true;
}

StatusConsole::~StatusConsole() = default;

}  // namespace platform

#endif  // !_WIN32
