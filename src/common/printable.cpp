#include "common/printable.h"

std::size_t utf8SequenceLength(std::string_view text, std::size_t i, unsigned long* code) {
  const unsigned char lead = static_cast<unsigned char>(text[i]);
  std::size_t length = 0;
  unsigned long point = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    point = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    point = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    point = lead & 0x07;
  } else {
    return 0;  // a continuation byte, C0/C1 (always overlong) or F5..FF
  }
  if (text.size() - i < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const unsigned char c = static_cast<unsigned char>(text[i + k]);
    if ((c & 0xC0) != 0x80) return 0;
    point = (point << 6) | (c & 0x3F);
  }
  if (length == 3 && (point < 0x800 || (point >= 0xD800 && point <= 0xDFFF))) return 0;
  if (length == 4 && (point < 0x10000 || point > 0x10FFFF)) return 0;
  if (code != nullptr) *code = point;
  return length;
}

std::string printable(const std::string& text) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string shown;
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      unsigned long code = 0;
      const std::size_t length = utf8SequenceLength(text, i, &code);
      // The C1 controls (U+0080..U+009F) act on a terminal as ESC sequences do.
      if (length != 0 && code >= 0xA0) {
        shown.append(text, i, length);
        i += length;
        continue;
      }
    } else if (c >= 0x20 && c != 0x7F) {
      shown += static_cast<char>(c);
      ++i;
      continue;
    }
    shown += "\\x";
    shown += kDigits[c >> 4];
    shown += kDigits[c & 0xF];
    ++i;
  }
  return shown;
}
