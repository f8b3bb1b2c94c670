// The elapsed-time line printed at the end of most jobs.
#pragma once

#include "platform/win32.h"

// Prints the time since the tick count `begin` as minutes and seconds:
// "\nTotal Time : %d minutes %d seconds\n" when `all` is non-zero, else
// "\nTime : %d minutes %d seconds\n".  The minutes are worked out in single
// precision, so 17 s shows as 0 minutes 16 seconds; operators and their
// logs know the line in this form.
void printTime(DWORD begin, int all);

// Minutes and seconds as printTime computes them for `ms` milliseconds.
void elapsedMinutesSeconds(DWORD ms, int* minutes, int* seconds);
