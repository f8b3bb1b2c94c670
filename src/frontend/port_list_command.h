// `updater --list`, and the advice printed after a port failed to open.
#pragma once

#include <string>
#include <vector>

#include "platform/port_list.h"
#include "platform/win32.h"

// Prints the serial ports of this computer, one per line, or "no serial
// ports found".  Returns the exit status, 0 in both cases.
int listSerialPortsCommand();

// One port as --list prints it: the name to type, the device, then what is
// known of it, comma-separated.  No line end.
std::string portLine(const platform::SerialPortInfo& port);

// The hint lines a refused open adds for a device this user may not use:
// the group that may use it and the command that adds the user to it.
std::string permissionHint(const platform::PortAccess& access);

// The hint lines a "don't exist" open failure adds: the ports there are.
std::string existingPortsText(const std::vector<platform::SerialPortInfo>& ports);

// Printed on standard error after "Failed to open %s :  %s\n" at start-up,
// with the error code of the failed open: the group hint when the system
// refused the device for want of permission (code 5), the ports that exist
// when the named one does not (code 2), nothing otherwise.
void printOpenFailureHelp(DWORD code, const char* portName);
