// Lines of a card command script (REMOTE mode).  The first character of a
// line decides what it is:
//   '#'  a card command, sent to the card and its answer awaited;
//   '@'  a message, the rest of the line is printed;
//   '$'  a key stop;
//   '&'  a pause, the decimal number right after '&' in milliseconds;
//   anything else (blank lines too) a comment.
//
// No I/O here: the caller reads the script in line pieces.
#pragma once

#include <cstddef>

enum class ScriptLine { Command, Message, KeyStop, Pause, Comment };

ScriptLine scriptLineKind(const char* line);

// Characters of a command line that go to the card: from the '#' up to,
// not including, the first carriage return or line feed.
std::size_t commandLength(const char* line);

// The pause of a '&' line.  A line without a number keeps `*wait` (the
// last pause read, 0 at first) and returns false.  A negative number reads
// as 0: the pause is an unsigned millisecond count, and -1 would otherwise
// stop the run for 49 days.
bool readPause(const char* line, int* wait);
