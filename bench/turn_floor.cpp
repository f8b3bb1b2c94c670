// The shortest turn the simulated line allows: a client that does nothing
// but write BYTES 0x00 bytes at once (the start-up probe, which card-sim's
// firmware answers with one byte each) and wait for as many answers, TURNS
// times.  On a paced line such a turn needs 2 x BYTES byte times; what it
// takes beyond that is the cost of the pseudo-terminal and of both
// processes' wake-ups, which every request/answer turn of the updater pays
// as well.  That cost grows with the turn's length: a machine that sleeps
// for milliseconds wakes more slowly than one that sleeps for 87 us.
//
//   turn_floor DEVICE [TURNS [BYTES]]   prints the mean wall and CPU
//                                       microseconds per turn
//
//   turn_floor DEVICE 0 BYTES GAP_US    the load probe: one turn every
//                                       GAP_US until SIGTERM, then prints
//                                       the mean wall microseconds per turn
//                                       (the gaps left out) and the count
//                                       of turns
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

double nowUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

constexpr int kMaxBytes = 256;

volatile sig_atomic_t stopRequested = 0;

void requestStop(int) { stopRequested = 1; }

bool turn(int fd, int bytes) {
  const unsigned char probes[kMaxBytes] = {};
  if (write(fd, probes, static_cast<std::size_t>(bytes)) != bytes) return false;
  int answered = 0;
  while (answered < bytes) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 1000) != 1 || stopRequested) return false;
    unsigned char answer[kMaxBytes];
    const ssize_t got = read(fd, answer, sizeof answer);
    if (got <= 0) return false;
    answered += static_cast<int>(got);
  }
  return true;
}

double cpuUs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

// Turns at a steady pace while the measured run goes on, so that what a
// turn costs on the busy machine at that very time is known.
int probe(int fd, int bytes, long gapUs) {
  struct sigaction action {};
  action.sa_handler = requestStop;
  sigaction(SIGTERM, &action, nullptr);
  turn(fd, bytes);
  double totalUs = 0;
  long turns = 0;
  while (!stopRequested) {
    const double start = nowUs();
    if (!turn(fd, bytes)) break;
    totalUs += nowUs() - start;
    ++turns;
    timespec gap{gapUs / 1000000, (gapUs % 1000000) * 1000};
    nanosleep(&gap, nullptr);  // a signal ends it early, which ends the loop
  }
  std::printf("%.1f %ld\n", turns ? totalUs / static_cast<double>(turns) : 0.0, turns);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: turn_floor DEVICE [TURNS [BYTES]]\n");
    return 2;
  }
  const int turns = argc > 2 ? std::atoi(argv[2]) : 500;
  const int bytes = argc > 3 ? std::atoi(argv[3]) : 1;
  const long gapUs = argc > 4 ? std::atol(argv[4]) : 0;
  if (turns < (argc > 4 ? 0 : 1) || bytes < 1 || bytes > kMaxBytes || gapUs < 0) {
    std::fprintf(stderr, "turn_floor: TURNS at least 1 (0 with GAP_US), BYTES 1 to %d\n", kMaxBytes);
    return 2;
  }
  int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    std::perror(argv[1]);
    return 1;
  }
  termios tio{};
  tcgetattr(fd, &tio);
  cfmakeraw(&tio);
  cfsetispeed(&tio, B115200);
  cfsetospeed(&tio, B115200);
  tcsetattr(fd, TCSANOW, &tio);
  if (turns == 0) return probe(fd, bytes, gapUs);
  for (int k = 0; k < 20; ++k) turn(fd, bytes);  // both processes warm
  const double start = nowUs(), startCpu = cpuUs();
  for (int k = 0; k < turns; ++k)
    if (!turn(fd, bytes)) {
      std::fprintf(stderr, "turn_floor: no answer\n");
      return 1;
    }
  std::printf("%.1f %.1f\n", (nowUs() - start) / turns, (cpuUs() - startCpu) / turns);
  close(fd);
  return 0;
}
