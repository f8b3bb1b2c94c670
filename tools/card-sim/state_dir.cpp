#include "state_dir.h"

#include <cstdio>
#include <sys/stat.h>

namespace cardsim {

StateDir::StateDir(std::string dir) : dir_(std::move(dir)) {
  if (!dir_.empty()) mkdir(dir_.c_str(), 0755);
}

std::string StateDir::pathOf(const std::string& name) const {
  return dir_.empty() ? std::string() : dir_ + "/" + name;
}

std::optional<std::vector<uint8_t>> StateDir::load(const std::string& name) const {
  auto it = memory_.find(name);
  if (it != memory_.end()) return it->second;
  if (dir_.empty()) return std::nullopt;
  FILE* f = std::fopen(pathOf(name).c_str(), "rb");
  if (!f) return std::nullopt;
  std::vector<uint8_t> bytes;
  uint8_t chunk[65536];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
  std::fclose(f);
  memory_[name] = bytes;
  return bytes;
}

void StateDir::save(const std::string& name, const std::vector<uint8_t>& bytes) {
  memory_[name] = bytes;
  if (dir_.empty()) return;
  std::string tmp = pathOf(name) + ".tmp";
  FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) return;
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  std::rename(tmp.c_str(), pathOf(name).c_str());
}

}  // namespace cardsim
