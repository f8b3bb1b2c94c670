// A look at an EDID image before it is sent.  The card stores whatever it
// is given (its verdict covers only the transfer's own sum), so an image
// whose blocks are not well-formed EDID would be accepted silently: each
// 128-byte block must sum to 0 modulo 256, and the first must begin with
// the fixed header 00 FF FF FF FF FF FF 00.
#pragma once

#include <string>
#include <vector>

// What is wrong with the `length` bytes of `image` (128 or 256) as EDID:
// one text per problem, none for a well-formed image.
std::vector<std::string> edidProblems(const unsigned char* image, int length);

// The problems as hint lines on standard error, naming `fileName`; the
// transfer goes on (the file may be meant so).  Returns the problem count.
int warnAboutEdid(const char* fileName, const unsigned char* image, int length);
