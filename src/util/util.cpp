#include "util/util.h"

#include <cctype>
#include <climits>

int16_t find(int value, const char* str) {
  const char sought = static_cast<char>(value & 0xFF);
  // The index is 16-bit: the search ends before it would overflow.
  for (int i = 0; i <= INT16_MAX; ++i) {
    if (str[i] == sought) return static_cast<int16_t>(i);
    if (str[i] == '\0') return -1;
  }
  return -1;
}

namespace {

// Digits of a non-negative value in `base`, least significant first, then
// reversed into `str`.
void toText(int32_t value, int32_t base, char* str) {
  if (value < 0) {
    str[0] = '\0';
    return;
  }
  char reversed[10];  // enough for 2147483647 in decimal
  int n = 0;
  do {
    const int32_t r = value % base;
    if (r < 10) {
      reversed[n] = static_cast<char>('0' + r);
    } else {
      switch (r - 10) {
        case 0: reversed[n] = 'A'; break;
        case 1: reversed[n] = 'B'; break;
        case 2: reversed[n] = 'C'; break;
        case 3: reversed[n] = 'D'; break;
        case 4: reversed[n] = 'E'; break;
        default: reversed[n] = 'F'; break;
      }
    }
    ++n;
    value /= base;
  } while (value != 0);
  for (int i = 0; i < n; ++i) str[i] = reversed[n - 1 - i];
  str[n] = '\0';
}

}  // namespace

void longToDecStr(int32_t value, char* str) { toText(value, 10, str); }

void longToHexStr(int32_t value, char* str) { toText(value, 16, str); }

void strDecTolong(int32_t* value, const char* str) {
  *value = 0;
  for (int i = 0; i < 2; ++i) {
    const unsigned char c = static_cast<unsigned char>(str[i]);
    if (c < '0' || c > '9') return;
    *value = *value * 10 + (c - '0');
  }
}

void strHexTolong(unsigned char* value, const char* str) {
  *value = 0;
  for (int i = 0; i < 2; ++i) {
    const int code = static_cast<unsigned char>(str[i]) - '0';
    int digit;
    if (code >= 0 && code <= 9) {
      digit = code;
    } else if (code >= 'A' - '0' && code <= 'F' - '0') {
      digit = code - ('A' - '0') + 10;
    } else {
      return;  // lower case, the codes between '9' and 'A', NUL, anything else
    }
    *value = static_cast<unsigned char>(*value * 16 + digit);
  }
}

bool scanInt(const char* text, std::size_t* pos, int* value) {
  std::size_t p = *pos;
  while (text[p] != '\0' && std::isspace(static_cast<unsigned char>(text[p]))) ++p;
  bool negative = false;
  if (text[p] == '+' || text[p] == '-') {
    negative = text[p] == '-';
    ++p;
  }
  if (!std::isdigit(static_cast<unsigned char>(text[p]))) return false;
  long long v = 0;
  while (std::isdigit(static_cast<unsigned char>(text[p]))) {
    if (v <= INT_MAX) v = v * 10 + (text[p] - '0');
    ++p;
  }
  if (negative) v = -v;
  if (v > INT_MAX) v = INT_MAX;
  if (v < INT_MIN) v = INT_MIN;
  *value = static_cast<int>(v);
  *pos = p;
  return true;
}

std::string upperCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}
