// Small number and text routines: conversions between numbers and text with
// fixed digit sets and widths, a character search, and upper-casing.  None
// of them keeps state; all but upperCase work on caller-owned buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Index of the first character of `str` equal to the low byte of `value`, or
// -1.  The comparison comes before the end test, so searching for NUL gives
// the length of the text.  The index is 16-bit: a text with no match within
// its first 32768 characters gives -1.
int16_t find(int value, const char* str);

// Decimal text of `value` (no sign, no leading zeros, up to 10 digits) into
// `str` (at least 11 bytes).  A negative value gives the empty text.
void longToDecStr(int32_t value, char* str);

// Upper-case hex text of `value` (no prefix, no leading zeros, up to 8
// digits) into `str` (at least 9 bytes).  A negative value gives the empty
// text.
void longToHexStr(int32_t value, char* str);

// Value of at most two decimal digits at the start of `str`; stops at the
// first non-digit ("123" gives 12, "7x" gives 7, "" gives 0).
void strDecTolong(int32_t* value, const char* str);

// Value of at most two hex digits (0-9, upper-case A-F only) at the start of
// `str`; stops at the first other character, keeping the value built so far
// ("3F" gives 0x3F, "F" gives 0x0F, "5a" gives 0x05, "a5" gives 0x00).
void strHexTolong(unsigned char* value, const char* str);

// One "%d" conversion at `text + *pos`: leading white space, an optional
// sign and at least one digit.  The value saturates at the int range instead
// of overflowing.  False (nothing stored, `*pos` unchanged) when no number
// starts there; otherwise `*pos` moves past the number.
bool scanInt(const char* text, std::size_t* pos, int* value);

// The upper-case copy of `text` by the runtime's toupper in the default
// locale: only the letters a to z change.  Port names and keywords are
// compared this way.
std::string upperCase(std::string text);
