#include "frontend/run_options.h"

#include <cstring>

namespace {

std::string quotedIfNeeded(const char* argument) {
  if (argument[0] != '\0' && std::strpbrk(argument, " \t\"") == nullptr) return argument;
  std::string quoted = "\"";
  for (const char* p = argument; *p != '\0'; ++p) {
    if (*p == '"' || *p == '\\') quoted += '\\';
    quoted += *p;
  }
  return quoted + "\"";
}

// An option where the trace's file name should stand: the name was left out.
bool isOption(const char* argument) {
  return std::strcmp(argument, "--verify") == 0 || std::strcmp(argument, "--json") == 0 ||
         std::strcmp(argument, "--dry-run") == 0 ||
         std::strncmp(argument, "--trace", 7) == 0;
}

}  // namespace

bool takeRunOptions(int* argc, char** argv, RunOptions* options) {
  for (int i = 0; i < *argc; ++i) {
    if (i > 0) options->commandLine += ' ';
    options->commandLine += quotedIfNeeded(argv[i]);
  }
  bool wellFormed = true;
  int kept = 1;
  for (int i = 1; i < *argc; ++i) {
    const char* argument = argv[i];
    if (std::strcmp(argument, "--verify") == 0) {
      options->verifyAfterWrite = true;
    } else if (std::strcmp(argument, "--json") == 0) {
      options->json = true;
    } else if (std::strcmp(argument, "--dry-run") == 0) {
      options->dryRun = true;
    } else if (std::strcmp(argument, "--trace") == 0) {
      if (i + 1 >= *argc || isOption(argv[i + 1])) {
        wellFormed = false;
      } else if (argv[i + 1][0] == '\0') {
        wellFormed = false;
        ++i;  // an empty name goes with its option
      } else {
        options->traceFile = argv[++i];
      }
    } else if (std::strncmp(argument, "--trace=", 8) == 0) {
      if (argument[8] == '\0') wellFormed = false;
      else options->traceFile = argument + 8;
    } else {
      argv[kept++] = argv[i];
    }
  }
  for (int i = kept; i < *argc; ++i) argv[i] = nullptr;
  *argc = kept;
  return wellFormed;
}
