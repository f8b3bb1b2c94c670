// The shortest turn the simulated line allows: a client that does nothing
// but write one 0x00 byte (the start-up probe, which card-sim's firmware
// answers with one byte) and wait for the answer, N times.  On a paced line
// each turn needs two byte times; what it takes beyond that is the cost of
// the pseudo-terminal and of both processes' wake-ups, which every
// request/answer turn of the updater pays as well.
//
//   turn_floor DEVICE [TURNS]     prints the mean wall and CPU microseconds
//                                 per turn
#include <fcntl.h>
#include <sys/resource.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

double nowUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

bool turn(int fd) {
  const unsigned char probe = 0x00;
  if (write(fd, &probe, 1) != 1) return false;
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 1000) != 1) return false;
  unsigned char answer[16];
  return read(fd, answer, sizeof answer) > 0;
}

double cpuUs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: turn_floor DEVICE [TURNS]\n");
    return 2;
  }
  const int turns = argc > 2 ? std::atoi(argv[2]) : 500;
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
  for (int k = 0; k < 20; ++k) turn(fd);  // both processes warm
  const double start = nowUs(), startCpu = cpuUs();
  for (int k = 0; k < turns; ++k)
    if (!turn(fd)) {
      std::fprintf(stderr, "turn_floor: no answer\n");
      return 1;
    }
  std::printf("%.1f %.1f\n", (nowUs() - start) / turns, (cpuUs() - startCpu) / turns);
  close(fd);
  return 0;
}
