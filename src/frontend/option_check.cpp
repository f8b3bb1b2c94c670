#include "frontend/option_check.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/hint.h"

namespace {

// Options taken anywhere on the line, then those that stand alone first.
const char* const kRunOptions[] = {"--verify", "--json", "--trace", "--dry-run"};
const char* const kCommands[] = {"--help", "--version", "--list"};

bool isCommand(const char* argument) {
  return std::any_of(std::begin(kCommands), std::end(kCommands),
                     [argument](const char* name) { return std::strcmp(argument, name) == 0; });
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Edits (insert, delete, replace, swap of neighbours) that turn a into b.
std::size_t editDistance(const std::string& a, const std::string& b) {
  const std::size_t n = a.size(), m = b.size();
  std::vector<std::vector<std::size_t>> d(n + 1, std::vector<std::size_t>(m + 1));
  for (std::size_t i = 0; i <= n; ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= m; ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= n; ++i) {
    for (std::size_t j = 1; j <= m; ++j) {
      const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[n][m];
}

}  // namespace

std::optional<std::string> unknownOption(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (std::strncmp(argument, "--", 2) != 0) continue;
    if (i == 1 && isCommand(argument)) continue;
    return std::string(argument);
  }
  return std::nullopt;
}

std::string closestOption(const std::string& typed) {
  // Far-fetched matches help nobody: a name of up to four letters after
  // "--" may be one edit off, a longer one two.
  const std::string name = lower(typed.substr(0, typed.find('=')));
  const std::size_t allowed = name.size() <= 6 ? 1 : 2;
  std::string best;
  std::size_t bestDistance = allowed + 1;
  const auto consider = [&](const char* option) {
    const std::size_t distance = editDistance(name, option);
    if (distance < bestDistance) {
      best = option;
      bestDistance = distance;
    }
  };
  for (const char* option : kRunOptions) consider(option);
  for (const char* option : kCommands) consider(option);
  return best;
}

bool refuseUnknownOption(int argc, char** argv, std::string* why) {
  const std::optional<std::string> unknown = unknownOption(argc, argv);
  if (!unknown) return false;
  std::printf("unknown option %s\n", unknown->c_str());
  const std::string closest = closestOption(*unknown);
  if (isCommand(unknown->c_str()))
    printHint("%s stands alone: updater %s", unknown->c_str(), unknown->c_str());
  else if (!closest.empty())
    printHint("did you mean %s?", closest.c_str());
  *why = "unknown option " + *unknown;
  return true;
}
