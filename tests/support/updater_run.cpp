#include "support/updater_run.h"

#include <gtest/gtest.h>

#include <cstring>

#include "frontend/startup.h"
#include "link/serial_port.h"

namespace testsupport {

bool openTestPort() {
  std::strcpy(lportname, "COM7");
  std::strcpy(lfullportname, "\\\\.\\COM7");
  return setUpPort(false);
}

int runUpdaterCapturing(std::vector<std::string> args, std::string* out) {
  args.insert(args.begin(), "updater");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  testing::internal::CaptureStdout();
  int status = runUpdater(static_cast<int>(argv.size()), argv.data());
  *out = testing::internal::GetCapturedStdout();
  return status;
}

}  // namespace testsupport
