#include "support/updater_run.h"

#include <gtest/gtest.h>

#include "frontend/startup.h"
#include "link/serial_link.h"

namespace testsupport {

std::unique_ptr<SerialLink> openTestLink() {
  auto link = std::make_unique<SerialLink>("COM7");
  if (!link->open(false)) return nullptr;
  return link;
}

int runUpdaterCapturing(std::vector<std::string> args, std::string* out, std::string* err) {
  args.insert(args.begin(), "updater");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  int status = runUpdater(static_cast<int>(argv.size()), argv.data());
  *out = testing::internal::GetCapturedStdout();
  const std::string errors = testing::internal::GetCapturedStderr();
  if (err != nullptr) *err = errors;
  return status;
}

}  // namespace testsupport
