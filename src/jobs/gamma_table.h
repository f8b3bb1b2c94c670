// The gamma table file: 1024 data lines of red, green and blue values
// (0..1023), each line three decimal integers with one separator character
// between them ("0,1023,512", "0;1023;512", "0, 1023, 512", "0 1023 512").
// Lines that begin with '%' are comments.  Every other line is a data line,
// a blank one too (it reads as three zeros).
//
// No I/O here: the caller reads the file in line pieces and feeds them in.
#pragma once

#include <cstddef>

constexpr int kGammaLines = 1024;
constexpr int kGammaValues = kGammaLines * 3;  // 3072
constexpr int kGammaMax = 1023;                // ten bits

// Reads the three values of one data line the way the pattern
// "%d%*c%d%*c%d" does: a decimal integer, exactly one separator character
// of any kind, blanks, the next integer, and so on.  Text after the third
// number is ignored; a value the line does not supply is 0.  Numbers too
// large for an int saturate (and so fall out of range) instead of
// overflowing.
void parseGammaLine(const char* line, int values[3]);

enum class GammaLineResult {
  Comment,     // line began with '%': neither counted nor stored
  Data,        // counted (and stored while the table had room)
  OutOfRange,  // a value below 0 or above 1023: the file is refused
};

class GammaTable {
 public:
  GammaTable();

  // Takes one line piece as read from the file.
  GammaLineResult addLine(const char* line);

  // Data lines seen so far (all of them, also beyond 1024).
  int lines() const { return lines_; }
  bool complete() const { return lines_ == kGammaLines; }

  // Values in file order: line 0 red, green, blue, line 1 red, ...
  const short* values() const { return values_; }

  // The 2 x 3072 bytes that go on the wire, high byte first.
  void wireBytes(unsigned char out[2 * kGammaValues]) const;

  // The sum of all wire bytes modulo 256.
  unsigned char checksum() const;

 private:
  short values_[kGammaValues];
  int lines_ = 0;
};
