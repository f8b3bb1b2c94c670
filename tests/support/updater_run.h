// Running the updater's code in-process on a FakeLine.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

// Opens and configures the updater's port as COM7 (onto the installed
// FakeLine), as the start-up does.  True when every step worked.
bool openTestPort();

// runUpdater with "updater" and `args` as the command line; the console
// output lands in `out`.  Returns the exit status.
int runUpdaterCapturing(std::vector<std::string> args, std::string* out);

}  // namespace testsupport
