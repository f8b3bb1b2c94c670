#include "common/json_writer.h"

#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>

#include "common/printable.h"

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

namespace {

void appendNumber(std::string& out, double d) {
  if (!std::isfinite(d)) {
    out += "null";
    return;
  }
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
  out += number;
}

void appendValue(std::string& out, const Json& value) {
  switch (value.type()) {
    case Json::value_t::object: {
      out += '{';
      bool first = true;
      for (const auto& member : value.items()) {
        if (!first) out += ',';
        first = false;
        appendJsonString(out, member.key());
        out += ':';
        appendValue(out, member.value());
      }
      out += '}';
      break;
    }
    case Json::value_t::array: {
      out += '[';
      bool first = true;
      for (const Json& element : value) {
        if (!first) out += ',';
        first = false;
        appendValue(out, element);
      }
      out += ']';
      break;
    }
    case Json::value_t::string: appendJsonString(out, value.get_ref<const std::string&>()); break;
    case Json::value_t::boolean: out += value.get<bool>() ? "true" : "false"; break;
    case Json::value_t::number_integer: out += std::to_string(value.get<std::int64_t>()); break;
    case Json::value_t::number_unsigned: out += std::to_string(value.get<std::uint64_t>()); break;
    case Json::value_t::number_float: appendNumber(out, value.get<double>()); break;
    default: out += "null"; break;  // null, and nothing else reaches a result
  }
}

constexpr int kDeepest = 32;

// True when no container in `text` opens inside 32 others (brackets inside
// strings do not count).
bool shallow(std::string_view text) {
  int depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') ++i;
      else if (c == '"') inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      if (++depth > kDeepest) return false;
    } else if (c == '}' || c == ']') {
      --depth;
    }
  }
  return true;
}

bool hex4At(std::string_view s, std::size_t i, unsigned* code) {
  if (s.size() < i + 4) return false;
  *code = 0;
  for (std::size_t k = i; k < i + 4; ++k) {
    const char c = s[k];
    unsigned digit;
    if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
    else return false;
    *code = *code * 16 + digit;
  }
  return true;
}

// `text` with every surrogate escape that is not half of a pair made
// \ufffd: the library refuses them, and a stray byte's \udcXX is one.
std::string pairedSurrogates(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      out += text[i];
      continue;
    }
    unsigned code = 0;
    if (text[i + 1] != 'u' || !hex4At(text, i + 2, &code) || code < 0xD800 || code > 0xDFFF) {
      out.append(text, i, 2);  // any other escape, "\\" included, passes whole
      ++i;
      continue;
    }
    unsigned low = 0;
    const bool paired = code < 0xDC00 && text.substr(i + 6, 2) == "\\u" &&
                        hex4At(text, i + 8, &low) && low >= 0xDC00 && low <= 0xDFFF;
    if (paired) {
      out.append(text, i, 12);
      i += 11;
    } else {
      out += "\\ufffd";
      i += 5;
    }
  }
  return out;
}

}  // namespace

std::string jsonText(const Json& value) {
  std::string out;
  appendValue(out, value);
  return out;
}

Json readJson(std::string_view text) {
  if (!shallow(text)) return Json(Json::value_t::discarded);
  return Json::parse(pairedSurrogates(text), nullptr, false);
}
