#include <cstdio>

#include "frontend/startup.h"

int main(int argc, char** argv) {
  // Progress lines start with a carriage return and must show while the job
  // runs, also when the output goes to a pipe.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  return runUpdater(argc, argv);
}
