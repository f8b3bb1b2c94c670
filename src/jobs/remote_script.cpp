#include "jobs/remote_script.h"

#include "util/util.h"

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
  // "%d" right after the '&'; a negative pause is no pause.
  std::size_t p = 1;
  int v = 0;
  if (!scanInt(line, &p, &v)) return false;
  *wait = v < 0 ? 0 : v;
  return true;
}
