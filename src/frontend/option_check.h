// Options are checked, not guessed: an argument that begins with "--" and
// is not an option the updater knows is refused before the port is opened,
// so that a mistyped --verify can never let a run skip its read-back.
#pragma once

#include <optional>
#include <string>

// The first argument after argv[0] that begins with "--" and is not a known
// option, once the run options have been taken out of argv.  --help,
// --version and --list count only as the first argument.
std::optional<std::string> unknownOption(int argc, char** argv);

// The known option nearest to `typed`, letter case aside: at most two
// letters added, dropped, changed or swapped (one for a name of up to four
// letters), or empty when none is that near.  The part from a '=' on is not
// compared.
std::string closestOption(const std::string& typed);

// When argv holds an unknown option: prints "unknown option --verfy" and,
// on standard error, its closest match; `why` receives the refusal for the
// run's result.  False when every option is known.
bool refuseUnknownOption(int argc, char** argv, std::string* why);
