// A fresh folder for one test, removed with everything in it afterwards, so
// that tests running in parallel never share a path.
#pragma once

#include <string>

namespace testsupport {

class ScratchDir {
 public:
  ScratchDir();   // makes a new, empty folder under the system's temp folder
  ~ScratchDir();  // removes it and what it holds
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  // `path()/name`.
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Writes `bytes` to `path()/name` and returns the full path.
  std::string write(const std::string& name, const std::string& bytes) const;

 private:
  std::string path_;
};

// Changes the working folder for the lifetime of the object (the updater
// finds its update files in the current folder).
class ScopedWorkingDir {
 public:
  explicit ScopedWorkingDir(const std::string& path);
  ~ScopedWorkingDir();
  ScopedWorkingDir(const ScopedWorkingDir&) = delete;
  ScopedWorkingDir& operator=(const ScopedWorkingDir&) = delete;

 private:
  std::string previous_;
};

}  // namespace testsupport
