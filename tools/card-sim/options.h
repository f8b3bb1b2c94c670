// card-sim's command-line options.  Each component declares the options it
// understands (name, whether it takes a value, help text); the parser
// accepts exactly those and keeps the values for the components to read.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace cardsim {

struct OptionSpec {
  const char* name;  // without the leading "--"
  bool takesValue;
  const char* help;
};

class Options {
 public:
  // Parses argv.  On a bad option returns false with a message in `error`.
  bool parse(int argc, char** argv, const std::vector<OptionSpec>& known, std::string* error);

  // Sets or adds a value programmatically (tests).
  void set(const std::string& name, const std::string& value = "1");

  bool has(const std::string& name) const;
  std::string get(const std::string& name, const std::string& fallback = "") const;
  long getInt(const std::string& name, long fallback) const;
  // Every value of an option given more than once, in order.
  std::vector<std::string> all(const std::string& name) const;

 private:
  std::multimap<std::string, std::string> values_;
};

// The help text listing `known`.
std::string optionsHelp(const std::vector<OptionSpec>& known);

}  // namespace cardsim
