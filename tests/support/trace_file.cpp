#include "support/trace_file.h"

#include <fstream>
#include <sstream>

namespace testsupport {

Traced readTrace(const std::string& path) {
  Traced traced;
  std::ifstream file(path);
  std::string line;
  // "%10.3f" time, a blank, then "< " or " >" and the bytes, or " # " and a note.
  while (std::getline(file, line)) {
    if (line.size() < 14) continue;
    const std::string mark = line.substr(11, 2);
    if (mark == " #") {
      traced.notes += line.substr(14) + "\n";
      continue;
    }
    std::istringstream hex(line.substr(13));
    std::string token;
    while (hex >> token)
      if (token[0] != '@')
        (mark == "< " ? traced.out : traced.in) += static_cast<char>(std::stoi(token, nullptr, 16));
  }
  return traced;
}

}  // namespace testsupport
