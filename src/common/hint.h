// Guidance for the operator beyond the program's own messages: lines on
// standard error that begin with "hint: ", so that standard output keeps
// exactly the texts that scripts and operators know.
#pragma once

#include <string>

// Prints "hint: " and the formatted text as one line (a line end is added
// when the text has none).  Standard output is flushed first, so that on a
// console the hint follows the message it explains.
void printHint(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Every line of `text` with "hint: " in front of it.
std::string hintLines(const std::string& text);
