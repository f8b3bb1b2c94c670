// Mode MICRO: the running firmware hands the microcontroller over to its
// boot program, the line drops to the boot program's 9600 bit/s, and FDT
// rewrites the flash.
#include <cstdio>
#include <cstring>

#include "boot/fdt.h"
#include "common/elapsed.h"
#include "jobs/modes.h"
#include "link/serial_link.h"
#include "platform/interrupt_notice.h"

namespace {

// A command that would hand the card over to its boot program.  False after
// a message when it did not go out whole.
bool sendHandover(SerialLink& link, const char* command) {
  link.noteText("card command", command, std::strlen(command));
  if (link.writeAll(command, std::strlen(command))) return true;
  const int length = static_cast<int>(std::strlen(command)) - 1;  // without the CR
  if (link.lastError() == ERROR_TIMEOUT)
    std::printf("Failed to send %.*s : the card stopped reading\n", length, command);
  else
    std::printf("Failed to send %.*s : error %ld\n", length, command,
                static_cast<long>(link.lastError()));
  return false;
}

}  // namespace

Outcome ProgramMicro(SerialLink& link) {
  const DWORD begin = GetTickCount();

  static const char kMicroMode[] = "#MICROMODE\r";
  if (!sendHandover(link, kMicroMode)) return Outcome::Failure;
  Sleep(50);
  // One read that returns at once with what has arrived: only whether the
  // firmware answered matters, not what it said.
  char answer[50];
  DWORD got = 0;
  link.read(answer, sizeof answer, &got);
  if (got > 0) {
    static const char kMicro[] = "#MICRO\r";
    if (!sendHandover(link, kMicro)) return Outcome::Failure;
    Sleep(50);
  }

  if (!link.setBaudRate(9600)) {
    std::printf("Failed to set port state : error %ld\n", static_cast<long>(link.lastError()));
    return Outcome::Failure;
  }
  // The mode runs after the identification, so the boot-mode branch of the
  // start-up has not met the boot program: this is the run's first call.
  const FdtResult result = [&] {
    // Past the hand-over the card's own firmware is gone until the image
    // is written whole.
    const platform::InterruptNotice notice(
        "hint: the microcontroller may be half-written: switch the card off and on, then run "
        "MICRO again\n");
    return FDT(link, false);
  }();
  printTime(begin, 1);
  return result == FdtResult::kDone ? Outcome::Success : Outcome::Failure;
}
