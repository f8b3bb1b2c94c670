#include "jobs/edid_check.h"

#include <cstdio>

#include "common/hint.h"

std::vector<std::string> edidProblems(const unsigned char* image, int length) {
  static const unsigned char kHeader[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
  std::vector<std::string> problems;
  if (length >= 8) {
    bool header = true;
    for (int i = 0; i < 8; ++i) header = header && image[i] == kHeader[i];
    if (!header)
      problems.push_back("it does not begin with the EDID header 00 FF FF FF FF FF FF 00");
  }
  for (int block = 0; block * 128 + 128 <= length; ++block) {
    unsigned sum = 0;
    for (int i = 0; i < 128; ++i) sum += image[block * 128 + i];
    if (sum % 256 != 0) {
      char text[96];
      std::snprintf(text, sizeof text,
                    "the checksum of block %d is wrong (its bytes sum to 0x%02X, not 0x00)", block,
                    sum % 256);
      problems.push_back(text);
    }
  }
  return problems;
}

int warnAboutEdid(const char* fileName, const unsigned char* image, int length) {
  const std::vector<std::string> problems = edidProblems(image, length);
  for (const std::string& problem : problems)
    printHint("%s may not be an EDID: %s", fileName, problem.c_str());
  return static_cast<int>(problems.size());
}
