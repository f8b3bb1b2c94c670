// SHA-256 (FIPS 180-4), for the digest of the file a run used or wrote, so
// that a script can tell which image went onto a card.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
 public:
  Sha256();
  void update(const void* data, std::size_t length);
  // The digest of everything given so far; the object is spent afterwards.
  std::array<uint8_t, 32> finish();
  // The same as 64 lower-case hex digits.
  std::string finishHex();

 private:
  void compress(const uint8_t* block);

  uint32_t state_[8];
  uint8_t pending_[64];
  std::size_t pendingLength_ = 0;
  uint64_t totalLength_ = 0;
};

// The size and digest of the bytes a run read from its file or wrote to it,
// taken as they passed; `known` stays false for a run that used none.
struct FileDigest {
  bool known = false;
  uint64_t size = 0;
  std::string sha256;
};

// The digest as 64 lower-case hex digits.
std::string sha256Hex(const void* data, std::size_t length);

// The size and digest of the file `path`, read in pieces; false when it
// cannot be opened or read to its end.
bool sha256OfFile(const char* path, uint64_t* size, std::string* hexDigest);
