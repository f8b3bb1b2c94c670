#include "common/printable.h"

namespace {

// The length of the well-formed UTF-8 sequence at text[i], or 0.
std::size_t utf8Length(const std::string& text, std::size_t i) {
  const unsigned char lead = static_cast<unsigned char>(text[i]);
  std::size_t length = 0;
  unsigned long code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const unsigned char c = static_cast<unsigned char>(text[i + k]);
    if ((c & 0xC0) != 0x80) return 0;
    code = (code << 6) | (c & 0x3F);
  }
  if (length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) return 0;
  if (length == 4 && (code < 0x10000 || code > 0x10FFFF)) return 0;
  // The C1 controls (U+0080..U+009F) act on a terminal as ESC sequences do.
  if (length == 2 && code < 0xA0) return 0;
  return length;
}

}  // namespace

std::string printable(const std::string& text) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string shown;
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      if (const std::size_t length = utf8Length(text, i)) {
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
