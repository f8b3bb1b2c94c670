// The card's persistent state (flash devices, microcontroller flash, EDID,
// gamma table, last FPGA stream), one file per item in a directory, so that
// consecutive runs of the updater see the same card.  Without a directory
// the state lives in memory only.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace cardsim {

class StateDir {
 public:
  explicit StateDir(std::string dir = "");

  const std::string& dir() const { return dir_; }

  // The stored bytes of `name`, or nothing when it was never written.
  std::optional<std::vector<uint8_t>> load(const std::string& name) const;
  // Stores `bytes` as `name` (written through to the directory at once).
  void save(const std::string& name, const std::vector<uint8_t>& bytes);

  // Full path of `name` in the directory (empty without a directory).
  std::string pathOf(const std::string& name) const;

 private:
  std::string dir_;
  mutable std::map<std::string, std::vector<uint8_t>> memory_;
};

}  // namespace cardsim
