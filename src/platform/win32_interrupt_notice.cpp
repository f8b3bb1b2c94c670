#include "platform/interrupt_notice.h"

#include <cstring>

#include "platform/win32.h"

namespace platform {
namespace {

// Read by the console's control handler, which runs on a thread of its own:
// the text is written before the handler is added and cleared after it is
// removed.
char noticeText[256];
volatile LONG noticeLength = 0;

BOOL WINAPI onControlEvent(DWORD event) {
  if ((event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) && noticeLength > 0) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), noticeText, static_cast<DWORD>(noticeLength),
              &written, nullptr);
  }
  return FALSE;  // the next handler, by default the end of the process
}

}  // namespace

InterruptNotice::InterruptNotice(const std::string& line) {
  // On a console the interrupt comes in the middle of a progress line.
  const bool console = GetFileType(GetStdHandle(STD_ERROR_HANDLE)) == FILE_TYPE_CHAR;
  const std::string text = console ? "\r\n" + line : line;
  const std::size_t length = text.size() < sizeof noticeText ? text.size() : sizeof noticeText - 1;
  std::memcpy(noticeText, text.data(), length);
  noticeLength = static_cast<LONG>(length);
  SetConsoleCtrlHandler(onControlEvent, TRUE);
}

InterruptNotice::~InterruptNotice() {
  SetConsoleCtrlHandler(onControlEvent, FALSE);
  noticeLength = 0;
}

}  // namespace platform
