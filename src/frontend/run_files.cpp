#include "frontend/run_files.h"

#include <cstdio>

#include "common/printable.h"
#include "common/sha256.h"
#include "frontend/run_report.h"
#include "jobs/modes.h"
#include "platform/files.h"

namespace {

// The ISP driver a device file needs: SFDriver.bin for device 1, FDriver.bin
// for the others.
const char* driverFor(const std::string& deviceFile) {
  return deviceFile.size() > 6 && deviceFile[6] == '1' ? "SFDriver.bin" : "FDriver.bin";
}

}  // namespace

std::vector<RunFile> filesOfRun(const std::string& keyword, const std::string& fileArgument,
                                const std::string& backupName, const std::string& traceName) {
  std::vector<RunFile> files;
  const auto reads = [&files](const std::string& name) { files.push_back({name, false}); };
  if (keyword == "READ") {
    files.push_back({backupName, true});
    files.push_back({backupName + ".part", true});
  } else if (keyword == "VIPER" || keyword == "VERIFY") {
    reads(fileArgument);
    if (keyword == "VIPER") reads(driverFor(fileArgument));
  } else if (keyword == "MICRO") {
    for (const char* name : {"appMain.mot", "uGen7144.cde", "Genm7144.cde", "Genw7144.cde"})
      reads(name);
  } else if (keyword == "ALL") {
    for (const char* name :
         {"Device1.bin", "SFDriver.bin", "Device5.bin", "FDriver.bin", "fpga.xsvf", "EDID.bin"})
      reads(name);
  } else if (keyword != "STATUS" && !fileArgument.empty()) {
    reads(fileArgument);
  }
  if (!traceName.empty()) files.push_back({traceName, true});
  return files;
}

bool sameFile(const std::string& a, const std::string& b) {
  const platform::FileIdentity first = platform::identifyFile(a.c_str());
  const platform::FileIdentity second = platform::identifyFile(b.c_str());
  if (first.exists() && second.exists()) return first.sameAs(second);
  return platform::resolvedPath(a.c_str()) == platform::resolvedPath(b.c_str());
}

std::optional<std::pair<RunFile, RunFile>> findClash(const std::vector<RunFile>& files) {
  for (std::size_t i = 0; i < files.size(); ++i) {
    for (std::size_t k = i + 1; k < files.size(); ++k) {
      if (!files[i].written && !files[k].written) continue;
      if (!sameFile(files[i].name, files[k].name)) continue;
      if (files[k].written && !files[i].written) return std::make_pair(files[k], files[i]);
      return std::make_pair(files[i], files[k]);
    }
  }
  return std::nullopt;
}

std::string traceClash(const std::string& keyword, const std::string& fileArgument,
                       const std::string& backupName, const std::string& tracePath) {
  const std::optional<std::pair<RunFile, RunFile>> clash =
      findClash(filesOfRun(keyword, fileArgument, backupName, tracePath));
  if (!clash) return std::string();
  // The trace is the last of the run's files, so it is one of the pair.
  const RunFile& other = clash->first.name == tracePath ? clash->second : clash->first;
  if (other.written) return "it is the file the run writes";
  return "it is " + printable(other.name) + ", which the run reads";
}

bool isRegularFileArgument(const char* name, RunReport& report) {
  const platform::FileIdentity identity = platform::identifyFile(name);
  if (!identity.exists() || identity.regular()) return true;
  std::printf("File %s is not a regular file.\n", printable(name).c_str());
  report.stoppedAt("file", "the file is not a regular file");
  return false;
}

bool updateFilesAreRegular(const UpdateFiles& found, RunReport& report) {
  const struct {
    bool found;
    const char* names[2];
  } files[] = {{found.device1, {"Device1.bin", "SFDriver.bin"}},
               {found.device5, {"Device5.bin", "FDriver.bin"}},
               {found.fpga, {"fpga.xsvf", nullptr}},
               {found.edid, {"EDID.bin", nullptr}}};
  for (const auto& file : files) {
    if (!file.found) continue;
    for (const char* name : file.names)
      if (name != nullptr && !isRegularFileArgument(name, report)) return false;
  }
  return true;
}

std::optional<int> refuseStalePartThatIsNotAFile(const char* backupName, RunReport& report) {
  const std::string part = std::string(backupName) + ".part";
  const bool link = platform::isSymbolicLink(part.c_str());
  const platform::FileIdentity identity = platform::identifyFile(part.c_str());
  if (!link && (!identity.exists() || identity.regular())) return std::nullopt;
  std::printf("File %s is not a regular file: READ neither follows nor replaces it.\n",
              printable(part).c_str());
  report.stoppedAt("file", part + " is in the way and is not a regular file");
  return 2;
}

void digestFileToUse(const char* keyword, const char* fileArgument, RunReport& report) {
  const std::string mode = keyword;
  if (mode == "STATUS" || mode == "ALL" || mode == "READ") return;
  const char* name = mode == "MICRO" ? "appMain.mot" : fileArgument;
  if (!platform::identifyFile(name).regular()) return;
  FileDigest digest;
  if (!sha256OfFile(name, &digest.size, &digest.sha256)) return;
  digest.known = true;
  report.setFileDigest(digest);
}
