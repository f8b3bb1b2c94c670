#include "common/json_writer.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

// The length of the well-formed UTF-8 sequence that starts at s[i], or 0:
// no overlong forms, no surrogates (U+D800..U+DFFF), nothing past U+10FFFF.
std::size_t utf8SequenceLength(std::string_view s, std::size_t i) {
  const unsigned char lead = static_cast<unsigned char>(s[i]);
  std::size_t length;
  unsigned long cp;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    cp = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    cp = lead & 0x07;
  } else {
    return 0;  // a continuation byte, C0/C1 (always overlong) or F5..FF
  }
  if (s.size() - i < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const unsigned char c = static_cast<unsigned char>(s[i + k]);
    if ((c & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  if (length == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) return 0;
  if (length == 4 && (cp < 0x10000 || cp > 0x10FFFF)) return 0;
  return length;
}

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
  static const char hex[] = "0123456789abcdef";
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const std::size_t length = utf8SequenceLength(text, i);
      if (length == 0) {
        // The stray byte kept as U+DC80..U+DCFF, the escape by which Python
        // and others carry the bytes of a name that is not UTF-8
        // ("surrogateescape"): every byte of a file name survives.
        out += "\\udc";
        out += hex[c >> 4];
        out += hex[c & 0xF];
        ++i;
      } else {
        out.append(text, i, length);
        i += length;
      }
      continue;
    }
    ++i;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {  // DEL as well: a console drops it
          out += "\\u00";
          out += hex[c >> 4];
          out += hex[c & 0xF];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

void JsonWriter::beforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (!empty_.empty()) {
    if (!empty_.back()) out_ += ',';
    empty_.back() = false;
  }
}

JsonWriter& JsonWriter::open(char bracket) {
  beforeValue();
  out_ += bracket;
  empty_.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::close(char bracket) {
  out_ += bracket;
  if (!empty_.empty()) empty_.pop_back();
  return *this;
}

JsonWriter& JsonWriter::beginObject() { return open('{'); }
JsonWriter& JsonWriter::endObject() { return close('}'); }
JsonWriter& JsonWriter::beginArray() { return open('['); }
JsonWriter& JsonWriter::endArray() { return close(']'); }

JsonWriter& JsonWriter::key(std::string_view name) {
  beforeValue();
  appendJsonString(out_, name);
  out_ += ':';
  afterKey_ = true;
  return *this;
}

JsonWriter& JsonWriter::value(std::string_view text) {
  beforeValue();
  appendJsonString(out_, text);
  return *this;
}

JsonWriter& JsonWriter::value(const char* text) {
  return text ? value(std::string_view(text)) : null();
}

JsonWriter& JsonWriter::value(bool b) {
  beforeValue();
  out_ += b ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::value(double d) {
  if (!std::isfinite(d)) return null();
  beforeValue();
  // The fewest significant digits that read back as the same value; 17
  // always do.
  char text[32];
  for (int precision = 1; precision <= 17; ++precision) {
    std::snprintf(text, sizeof text, "%.*g", precision, d);
    if (std::strtod(text, nullptr) == d) break;
  }
  std::string number(text);
  // A locale with a decimal comma must not leak into the JSON.
  for (char& c : number)
    if (c == ',') c = '.';
  if (number.find_first_of(".e") == std::string::npos) number += ".0";
  out_ += number;
  return *this;
}

JsonWriter& JsonWriter::signedInteger(long long n) {
  beforeValue();
  out_ += std::to_string(n);
  return *this;
}

JsonWriter& JsonWriter::unsignedInteger(unsigned long long n) {
  beforeValue();
  out_ += std::to_string(n);
  return *this;
}

JsonWriter& JsonWriter::null() {
  beforeValue();
  out_ += "null";
  return *this;
}
