#include "frontend/run_options.h"

#include <cstring>

bool takeRunOptions(int* argc, char** argv, RunOptions* options) {
  int kept = 1;
  for (int i = 1; i < *argc; ++i) {
    const char* argument = argv[i];
    if (std::strcmp(argument, "--verify") == 0) {
      options->verifyAfterWrite = true;
    } else if (std::strcmp(argument, "--json") == 0) {
      options->json = true;
    } else if (std::strcmp(argument, "--trace") == 0) {
      if (i + 1 >= *argc || argv[i + 1][0] == '\0') return false;
      options->traceFile = argv[++i];
    } else if (std::strncmp(argument, "--trace=", 8) == 0) {
      if (argument[8] == '\0') return false;
      options->traceFile = argument + 8;
    } else {
      argv[kept++] = argv[i];
    }
  }
  for (int i = kept; i < *argc; ++i) argv[i] = nullptr;
  *argc = kept;
  return true;
}
