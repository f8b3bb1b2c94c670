// Windows side of the platform layer: everything is the real API; only the
// command interpreter's PAUSE needs a name of its own.
#ifdef _WIN32

#include <cstdlib>

#include "platform/win32.h"

void runPause() { std::system("PAUSE"); }

#endif  // _WIN32
