// Pieces of the boot-mode programmer that callers and tests use besides FDT.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

class SerialLink;

// The files of a boot-mode programming, all in the current directory: the
// three kernels in the order they are sent, and the application image.
constexpr const char* kMicroKernelFile = "uGen7144.cde";
constexpr const char* kMainKernelFile = "Genm7144.cde";
constexpr const char* kWriteKernelFile = "Genw7144.cde";
constexpr const char* kMicroImageFile = "appMain.mot";

// A kernel is sent from a buffer of this size; the micro kernel's length
// goes on the line as two bytes.
constexpr std::size_t kMaxKernelBytes = 4000;

// Reopens the link at `baud` with the polling time-outs (8N1, RTS off).
// Prints the failing step's message; a device that cannot be opened ends it
// without one.  True when every step worked.  The boot-mode programming
// itself changes the rate in place and does not reopen.
bool changebaudrate(SerialLink& link, DWORD baud);

// Sum byte of a write block: makes the 8-bit sum of 0x50, the four address
// bytes (most significant first) and the 128 data bytes zero.
uint8_t writeBlockSum(uint32_t address, const unsigned char* data);

// Sum byte sent after a kernel: 0 - (sum of its bytes + `constant`), modulo
// 256.  The kernels take the constant in place of their length bytes: 0x75
// for the main kernel, 0x9A for the write kernel.
uint8_t kernelSum(const unsigned char* bytes, std::size_t n, uint8_t constant);
constexpr uint8_t kMainKernelConstant = 0x75;
constexpr uint8_t kWriteKernelConstant = 0x9A;
