// SHA-256 against the published test vectors, whole and fed in pieces that
// straddle the 64-byte blocks and the padding boundary, and for a file.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

#include "common/sha256.h"
#include "support/scratch_dir.h"

namespace {

std::string hex(const std::array<uint8_t, 32>& digest) {
  std::string text;
  for (uint8_t byte : digest) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", byte);
    text += two;
  }
  return text;
}

TEST(Sha256, KnownVectorsWholeAndInPieces) {
  struct Case {
    std::string message;
    const char* digest;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      // 56 bytes: the length no longer fits the block, padding takes two.
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnop"
       "jklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sha256Hex(c.message.data(), c.message.size()), c.digest) << c.message.size();
    // Pieces of 1, 63, 64 and 65 bytes, again and again.
    Sha256 hash;
    const std::size_t pieces[] = {1, 63, 64, 65};
    for (std::size_t at = 0, k = 0; at < c.message.size(); ++k) {
      const std::size_t n = std::min(pieces[k % 4], c.message.size() - at);
      hash.update(c.message.data() + at, n);
      at += n;
    }
    EXPECT_EQ(hex(hash.finish()), c.digest) << c.message.size() << " in pieces";
  }
}

TEST(Sha256, FileSizeAndDigest) {
  testsupport::ScratchDir scratch;
  const std::string path = scratch.write("image.bin", std::string(200000, '\xA5') + "end");
  uint64_t size = 0;
  std::string digest;
  ASSERT_TRUE(sha256OfFile(path.c_str(), &size, &digest));
  EXPECT_EQ(size, 200003u);
  const std::string bytes = std::string(200000, '\xA5') + "end";
  EXPECT_EQ(digest, sha256Hex(bytes.data(), bytes.size()));
  EXPECT_FALSE(sha256OfFile(scratch.file("missing.bin").c_str(), &size, &digest));
  EXPECT_FALSE(sha256OfFile(scratch.path().c_str(), &size, &digest));  // a folder
}

}  // namespace
