// A small JSON writer for the result that scripts read (one line, compact).
//
// The output is always valid JSON in UTF-8, whatever the caller hands in:
// strings are escaped in full (control bytes and DEL as \u00XX), and each
// byte that is not part of valid UTF-8 (a file name in a Windows code page,
// noise from a card's answer) becomes the escape \udcXX (U+DC80..U+DCFF,
// Python's "surrogateescape"), so that every byte of a name can be had back
// and one odd byte never breaks the line.  Non-finite doubles are
// written as null.  The caller is responsible for the shape: a key before
// each member of an object, and every container closed.
#pragma once

#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

class JsonWriter {
 public:
  JsonWriter& beginObject();
  JsonWriter& endObject();
  JsonWriter& beginArray();
  JsonWriter& endArray();

  // The name of the next member of the current object.
  JsonWriter& key(std::string_view name);

  JsonWriter& value(std::string_view text);
  // A string literal is text, not a bool; a null pointer is null.
  JsonWriter& value(const char* text);
  JsonWriter& value(bool b);
  // The shortest form that reads back as the same double, always with a
  // '.' or an exponent so that it reads back as a floating-point number.
  JsonWriter& value(double d);
  template <typename T,
            std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
  JsonWriter& value(T n) {
    if constexpr (std::is_signed_v<T>)
      return signedInteger(static_cast<long long>(n));
    else
      return unsignedInteger(static_cast<unsigned long long>(n));
  }
  JsonWriter& null();

  const std::string& text() const { return out_; }

 private:
  JsonWriter& signedInteger(long long n);
  JsonWriter& unsignedInteger(unsigned long long n);
  // Writes the ',' that goes before every element but the first.
  void beforeValue();
  JsonWriter& open(char bracket);
  JsonWriter& close(char bracket);

  std::string out_;
  std::vector<bool> empty_;  // one per open container: nothing in it yet
  bool afterKey_ = false;
};

// Appends `text` as a quoted JSON string.
void appendJsonString(std::string& out, std::string_view text);
