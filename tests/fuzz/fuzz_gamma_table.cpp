// The gamma table file as the job reads it: line pieces of at most 255
// characters.  The table must stay within its 3072 values, every stored
// value within ten bits, and the checksum must be the sum of the wire bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "jobs/gamma_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  GammaTable table;
  bool refused = false;
  std::string piece;
  auto take = [&] {
    if (!refused && table.addLine(piece.c_str()) == GammaLineResult::OutOfRange) refused = true;
    int values[3];
    parseGammaLine(piece.c_str(), values);
    piece.clear();
  };
  for (std::size_t i = 0; i < size; ++i) {
    piece.push_back(static_cast<char>(data[i]));
    if (data[i] == '\n' || piece.size() == 255) take();
  }
  if (!piece.empty()) take();

  static unsigned char wire[2 * kGammaValues];
  table.wireBytes(wire);
  unsigned sum = 0;
  for (unsigned char b : wire) sum += b;
  if (table.checksum() != static_cast<unsigned char>(sum)) __builtin_trap();
  for (int i = 0; i < kGammaValues; ++i)
    if (table.values()[i] < 0 || table.values()[i] > kGammaMax) __builtin_trap();
  return 0;
}
