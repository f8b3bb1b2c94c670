#include "jobs/remote_script.h"

#include <cctype>
#include <climits>

ScriptLine scriptLineKind(const char* line) {
  switch (line[0]) {
    case '#': return ScriptLine::Command;
    case '@': return ScriptLine::Message;
    case '$': return ScriptLine::KeyStop;
    case '&': return ScriptLine::Pause;
    default: return ScriptLine::Comment;
  }
}

std::size_t commandLength(const char* line) {
  std::size_t n = 0;
  while (line[n] != '\0' && line[n] != '\r' && line[n] != '\n') ++n;
  return n;
}

bool readPause(const char* line, int* wait) {
  // "%d" right after the '&': blanks, an optional sign, digits.
  std::size_t p = 1;
  while (line[p] != '\0' && std::isspace(static_cast<unsigned char>(line[p]))) ++p;
  bool negative = false;
  if (line[p] == '+' || line[p] == '-') {
    negative = line[p] == '-';
    ++p;
  }
  if (!std::isdigit(static_cast<unsigned char>(line[p]))) return false;
  long long v = 0;
  while (std::isdigit(static_cast<unsigned char>(line[p]))) {
    if (v <= INT_MAX) v = v * 10 + (line[p] - '0');
    ++p;
  }
  if (v > INT_MAX) v = INT_MAX;
  *wait = negative ? 0 : static_cast<int>(v);
  return true;
}
