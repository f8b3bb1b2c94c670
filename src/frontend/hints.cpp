#include "frontend/hints.h"

#include <cctype>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "common/hint.h"

namespace {

namespace fs = std::filesystem;

bool sameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// "Device5.bin", "device5.BIN": the device-file rule's shape in any case.
bool looksLikeDeviceFile(const std::string& name) {
  return name.size() >= 11 && sameIgnoringCase(name.substr(0, 6), "Device") &&
         std::strchr("157", name[6]) != nullptr && sameIgnoringCase(name.substr(7, 4), ".bin");
}

std::string spelledAsDeviceFile(const std::string& name) {
  return "Device" + name.substr(6, 1) + ".bin" + name.substr(11);
}

}  // namespace

std::string caseVariantOf(const std::string& fileName) {
  const fs::path path(fileName);
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  const std::string wanted = path.filename().string();
  std::error_code error;
  fs::directory_iterator entries(folder, error);
  if (error) return std::string();
  for (const fs::directory_entry& entry : entries) {
    const std::string name = entry.path().filename().string();
    if (name != wanted && sameIgnoringCase(name, wanted)) {
      return path.has_parent_path() ? (path.parent_path() / name).string() : name;
    }
  }
  return std::string();
}

void hintForMissingFile(const char* fileName) {
  const std::string variant = caseVariantOf(fileName);
  if (!variant.empty())
    printHint("file names are matched exactly, letter case included: there is %s here",
              variant.c_str());
}

void hintForBadDeviceFile(const char* fileName) {
  const fs::path path(fileName);
  const std::string name = path.filename().string();
  if (path.has_parent_path() && looksLikeDeviceFile(name)) {
    printHint("device files are taken from the current folder: run the command in %s",
              path.parent_path().string().c_str());
  } else if (!path.has_parent_path() && looksLikeDeviceFile(name) &&
             spelledAsDeviceFile(name) != name) {
    printHint("device files are named Device1.bin, Device5.bin or Device7.bin, letter case "
              "included: %s",
              spelledAsDeviceFile(name).c_str());
  }
}
