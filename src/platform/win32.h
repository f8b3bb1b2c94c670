// The operating-system services the updater uses, under their Win32 names.
//
// On Windows this is the real API (windows.h, conio.h).  On POSIX systems the
// same names are provided by a small layer (the posix_*.cpp files) with the same
// observable behaviour: COM port names map to tty devices, COMMTIMEOUTS are
// honoured by ReadFile/WriteFile with poll(), GetLastError is per thread and
// changes only when a call fails, GetTickCount is a wrapping 32-bit count.
//
// This header is the only place above the platform layer that sees the OS.
#pragma once

#include <cstdint>

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <conio.h>

#else  // POSIX

typedef uint32_t DWORD;  // 32 bits wide, as on Windows, so tick arithmetic wraps alike
typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef void* HANDLE;
typedef const char* LPCSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef DWORD* LPDWORD;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define INVALID_FILE_ATTRIBUTES (static_cast<DWORD>(0xFFFFFFFFu))
#define INVALID_FILE_SIZE (static_cast<DWORD>(0xFFFFFFFFu))
#define MAXDWORD 0xFFFFFFFFu

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define FILE_ATTRIBUTE_DIRECTORY 0x10u
#define HIGH_PRIORITY_CLASS 0x80u

#define ERROR_SUCCESS 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_READY 21u
#define ERROR_GEN_FAILURE 31u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_IO_DEVICE 1117u
#define ERROR_TIMEOUT 1460u

#define NOPARITY 0
#define ONESTOPBIT 0
#define RTS_CONTROL_DISABLE 0
#define RTS_CONTROL_ENABLE 1
#define DTR_CONTROL_DISABLE 0
#define DTR_CONTROL_ENABLE 1

// Line settings record, laid out as on Windows (28 bytes).
typedef struct _DCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD fBinary : 1;
  DWORD fParity : 1;
  DWORD fOutxCtsFlow : 1;
  DWORD fOutxDsrFlow : 1;
  DWORD fDtrControl : 2;
  DWORD fDsrSensitivity : 1;
  DWORD fTXContinueOnXoff : 1;
  DWORD fOutX : 1;
  DWORD fInX : 1;
  DWORD fErrorChar : 1;
  DWORD fNull : 1;
  DWORD fRtsControl : 2;
  DWORD fAbortOnError : 1;
  DWORD fDummy2 : 17;
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;
} DCB, *LPDCB;

typedef struct _COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, void* security,
                   DWORD disposition, DWORD flags, HANDLE templ);
BOOL CloseHandle(HANDLE h);
BOOL ReadFile(HANDLE h, LPVOID buf, DWORD count, LPDWORD read, void* overlapped);
BOOL WriteFile(HANDLE h, LPCVOID buf, DWORD count, LPDWORD written, void* overlapped);
BOOL GetCommState(HANDLE h, LPDCB dcb);
BOOL SetCommState(HANDLE h, LPDCB dcb);
BOOL SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t);
DWORD GetLastError();
void SetLastError(DWORD code);
DWORD GetFileAttributesA(LPCSTR name);
DWORD GetFileSize(HANDLE h, LPDWORD high);
DWORD GetTickCount();
HANDLE GetCurrentProcess();
BOOL SetPriorityClass(HANDLE process, DWORD priority_class);
void Sleep(DWORD ms);
int _getch();

#endif  // _WIN32

// Wake-ups on time for as long as it lives: the protocol's 1 ms read slices
// and its pauses of 5 and 10 ms would otherwise each last a system tick (15.6
// ms by default on Windows) or overshoot by a timer slack (50 us on Linux).
// Windows: timeBeginPeriod(1) from winmm, loaded at run time so that the
// program imports only the system's base libraries, and timeEndPeriod at the
// end; POSIX: a timer slack of 1 us, and the old slack back at the end.  A
// refusal changes nothing but the timing: the run goes on.
class FineTimer {
 public:
  FineTimer();
  ~FineTimer();
  FineTimer(const FineTimer&) = delete;
  FineTimer& operator=(const FineTimer&) = delete;
  bool granted() const { return granted_; }

 private:
  bool granted_ = false;
#ifdef _WIN32
  void* library_ = nullptr;  // winmm while the period is held
#else
  unsigned long restore_ = 0;  // the timer slack before
#endif
};

// The command interpreter's "PAUSE": on Windows system("PAUSE"); on POSIX it
// prints "Press any key to continue . . . " and waits for one key like _getch.
void runPause();
