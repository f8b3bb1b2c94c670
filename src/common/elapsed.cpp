#include "common/elapsed.h"

#include <cstdio>

void elapsedMinutesSeconds(DWORD ms, int* minutes, int* seconds) {
  DWORD s = static_cast<DWORD>(static_cast<uint32_t>(ms) / 1000u);
  volatile float q = static_cast<float>(static_cast<double>(s) / 60.0);
  int m = static_cast<int>(q);
  volatile float r = static_cast<float>(q - static_cast<float>(m));
  *minutes = m;
  *seconds = static_cast<int>(static_cast<double>(r) * 60.0);
}

void printTime(DWORD begin, int all) {
  int minutes = 0, seconds = 0;
  elapsedMinutesSeconds(static_cast<DWORD>(static_cast<uint32_t>(GetTickCount() - begin)),
                        &minutes, &seconds);
  std::printf(all ? "\nTotal Time : %d minutes %d seconds\n" : "\nTime : %d minutes %d seconds\n",
              minutes, seconds);
}
