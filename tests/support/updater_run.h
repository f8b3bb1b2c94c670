// Running the updater's code in-process on a FakeLine.
#pragma once

#include <memory>
#include <string>
#include <vector>

class SerialLink;

namespace testsupport {

// A link to COM7 (the installed FakeLine), opened and configured as the
// start-up does; nullptr when a step failed.
std::unique_ptr<SerialLink> openTestLink();

// runUpdater with "updater" and `args` as the command line; the console
// output lands in `out`, standard error (the hint lines) in `err` when
// given.  Returns the exit status.
int runUpdaterCapturing(std::vector<std::string> args, std::string* out,
                        std::string* err = nullptr);

}  // namespace testsupport
