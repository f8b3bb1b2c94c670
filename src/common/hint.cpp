#include "common/hint.h"

#include <cstdarg>
#include <cstdio>

void printHint(const char* format, ...) {
  char text[1024];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  std::fflush(stdout);
  std::fputs(hintLines(text).c_str(), stderr);
  std::fflush(stderr);
}

std::string hintLines(const std::string& text) {
  std::string lines;
  std::size_t from = 0;
  while (from < text.size()) {
    std::size_t end = text.find('\n', from);
    if (end == std::string::npos) end = text.size();
    lines += "hint: " + text.substr(from, end - from) + "\n";
    from = end + 1;
  }
  return lines;
}
