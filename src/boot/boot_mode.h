// Pieces of the boot-mode programmer that callers and tests use besides FDT.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

// Reopens the port at `baud`: closes `port`, opens `fullPortName` again,
// applies 8N1 with RTS off at that rate and the polling time-outs, and
// leaves the new handle, settings and time-outs in the arguments.  Prints
// the failing step's message; a device that cannot be opened ends it
// without one.  True when every step worked.
bool changebaudrate(HANDLE& port, DCB& dcb, COMMTIMEOUTS& timeouts, const char* fullPortName,
                    DWORD baud);

// Sum byte of a write block: makes the 8-bit sum of 0x50, the four address
// bytes (most significant first) and the 128 data bytes zero.
uint8_t writeBlockSum(uint32_t address, const unsigned char* data);

// Sum byte sent after a kernel: 0 - (sum of its bytes + `constant`), modulo
// 256.  The kernels take the constant in place of their length bytes: 0x75
// for the main kernel, 0x9A for the write kernel.
uint8_t kernelSum(const unsigned char* bytes, std::size_t n, uint8_t constant);
constexpr uint8_t kMainKernelConstant = 0x75;
constexpr uint8_t kWriteKernelConstant = 0x9A;

// Forgets that the boot program was met silent earlier in this run (the
// next silence returns kFdtBootSilent again), and puts the image readers
// back to their start.  For a new run in the same process (tests).
void resetBootModeRun();
