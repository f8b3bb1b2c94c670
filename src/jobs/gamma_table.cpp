#include "jobs/gamma_table.h"

#include <cctype>
#include <climits>
#include <cstring>

#include "util/util.h"

void parseGammaLine(const char* line, int values[3]) {
  values[0] = values[1] = values[2] = 0;
  std::size_t pos = 0;
  for (int k = 0; k < 3; ++k) {
    if (k > 0) {
      if (line[pos] == '\0') return;  // no separator left
      ++pos;                          // any one character separates
    }
    if (!scanInt(line, &pos, &values[k])) return;
  }
}

GammaTable::GammaTable() { std::memset(values_, 0, sizeof values_); }

GammaLineResult GammaTable::addLine(const char* line) {
  if (line[0] == '%') return GammaLineResult::Comment;
  int v[3];
  parseGammaLine(line, v);
  for (int k = 0; k < 3; ++k)
    if (v[k] < 0 || v[k] > kGammaMax) return GammaLineResult::OutOfRange;
  if (lines_ < kGammaLines)
    for (int k = 0; k < 3; ++k) values_[lines_ * 3 + k] = static_cast<short>(v[k]);
  ++lines_;
  return GammaLineResult::Data;
}

void GammaTable::wireBytes(unsigned char out[2 * kGammaValues]) const {
  for (int i = 0; i < kGammaValues; ++i) {
    const unsigned short v = static_cast<unsigned short>(values_[i]);
    out[2 * i] = static_cast<unsigned char>(v >> 8);
    out[2 * i + 1] = static_cast<unsigned char>(v & 0xFF);
  }
}

unsigned char GammaTable::checksum() const {
  unsigned char sum = 0;
  for (int i = 0; i < kGammaValues; ++i) {
    const unsigned short v = static_cast<unsigned short>(values_[i]);
    sum = static_cast<unsigned char>(sum + (v >> 8) + (v & 0xFF));
  }
  return sum;
}
