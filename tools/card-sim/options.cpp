#include "options.h"

#include <cstdlib>
#include <cstring>

namespace cardsim {

bool Options::parse(int argc, char** argv, const std::vector<OptionSpec>& known,
                    std::string* error) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
      *error = "unexpected argument '" + arg + "'";
      return false;
    }
    std::string name = arg.substr(2);
    std::string value;
    bool inlineValue = false;
    std::size_t eq = name.find('=');
    if (eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      inlineValue = true;
    }
    const OptionSpec* found = nullptr;
    for (const OptionSpec& s : known)
      if (name == s.name) found = &s;
    if (!found) {
      *error = "unknown option '--" + name + "'";
      return false;
    }
    if (found->takesValue && !inlineValue) {
      if (i + 1 >= argc) {
        *error = "option '--" + name + "' needs a value";
        return false;
      }
      value = argv[++i];
    } else if (!found->takesValue) {
      if (inlineValue) {
        *error = "option '--" + name + "' takes no value";
        return false;
      }
      value = "1";
    }
    values_.emplace(name, value);
  }
  return true;
}

void Options::set(const std::string& name, const std::string& value) {
  values_.emplace(name, value);
}

bool Options::has(const std::string& name) const { return values_.count(name) != 0; }

std::string Options::get(const std::string& name, const std::string& fallback) const {
  auto range = values_.equal_range(name);
  if (range.first == range.second) return fallback;
  auto last = range.first;
  for (auto it = range.first; it != range.second; ++it) last = it;
  return last->second;
}

long Options::getInt(const std::string& name, long fallback) const {
  if (!has(name)) return fallback;
  std::string v = get(name);
  char* end = nullptr;
  long n = std::strtol(v.c_str(), &end, 0);
  if (end == v.c_str() || *end != '\0') return fallback;
  return n;
}

std::vector<std::string> Options::all(const std::string& name) const {
  std::vector<std::string> out;
  auto range = values_.equal_range(name);
  for (auto it = range.first; it != range.second; ++it) out.push_back(it->second);
  return out;
}

std::string optionsHelp(const std::vector<OptionSpec>& known) {
  std::string out;
  for (const OptionSpec& s : known) {
    std::string left = std::string("  --") + s.name + (s.takesValue ? " VALUE" : "");
    if (left.size() < 30) left.resize(30, ' ');
    out += left + " " + s.help + "\n";
  }
  return out;
}

}  // namespace cardsim
