// Text from outside the program (a file name, a process name, a USB
// adapter's strings, a card's answer) made safe to print on a console.
#pragma once

#include <string>

// `text` as a console may show it: control bytes, DEL, the C1 controls and
// bytes that are not UTF-8 are written as \xNN, so that nothing from outside
// can move the cursor or reprogram the terminal.  Well-formed UTF-8 stays.
std::string printable(const std::string& text);
