// JSON for the results that scripts read, on nlohmann-json's values.
//
// jsonText() writes a value as one compact line that is always valid JSON
// in UTF-8, whatever its strings hold: they are escaped in full (control
// bytes and DEL as \u00XX), and each byte that is not part of valid UTF-8
// (a file name in a Windows code page, noise from a card's answer) becomes
// the escape \udcXX (U+DC80..U+DCFF, Python's "surrogateescape"), so that
// every byte of a name can be had back and one odd byte never breaks the
// line.  A double is written in the fewest digits that read back as the
// same value, always with a '.' or an exponent; a non-finite one as null.
// The library's own dump() would throw on such a byte and leave DEL bare.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

// Objects keep their members in the order they were added.
using Json = nlohmann::ordered_json;

std::string jsonText(const Json& value);

// Appends `text` as a quoted JSON string.
void appendJsonString(std::string& out, std::string_view text);

// Reads `text` as exactly one JSON value; a discarded value (see
// is_discarded()) when it is anything else or nests deeper than 32.  A
// surrogate escape that is not half of a pair (as jsonText() writes for a
// stray byte) reads as U+FFFD.
Json readJson(std::string_view text);
