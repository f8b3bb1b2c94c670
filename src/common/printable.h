// Text from outside the program (a file name, a process name, a USB
// adapter's strings, a card's answer) made safe to print on a console.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// `text` as a console may show it: control bytes, DEL, the C1 controls and
// bytes that are not UTF-8 are written as \xNN, so that nothing from outside
// can move the cursor or reprogram the terminal.  Well-formed UTF-8 stays.
std::string printable(const std::string& text);

// The length of the well-formed UTF-8 sequence that starts at text[i], or
// 0: no overlong forms, no surrogates (U+D800..U+DFFF), nothing past
// U+10FFFF.  `*code` (when given) receives its code point.
std::size_t utf8SequenceLength(std::string_view text, std::size_t i,
                               unsigned long* code = nullptr);
