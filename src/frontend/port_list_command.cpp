// `updater --list` and the advice after a failed open of the port.
#include "frontend/port_list_command.h"

#include <cstdio>

#include "common/printable.h"

namespace {

// `text` and blanks up to `width` characters.
std::string padded(const std::string& text, std::size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

}  // namespace

std::string portLine(const platform::SerialPortInfo& port) {
  std::string line = padded(port.name, 9) + " " + padded(port.device, 14) + "  " + port.description;
  auto add = [&line](const std::string& text) {
    if (!text.empty()) line += ", " + text;
  };
  if (!port.usbId.empty()) add("USB " + port.usbId);
  if (!port.serialNumber.empty()) add("serial " + port.serialNumber);
  if (!port.driver.empty()) add("driver " + port.driver);
  for (const std::string& alias : port.aliases) add(alias);
  if (port.inUse) add(port.heldBy.empty() ? "in use" : "in use by " + port.heldBy);
  // Process names and the adapter's strings come from anyone: a name with
  // escape sequences in it must not reprogram the terminal.
  return printable(line);
}

int listSerialPortsCommand() {
  std::vector<platform::SerialPortInfo> ports = platform::listSerialPorts();
  if (ports.empty()) std::printf("no serial ports found\n");
  for (const auto& port : ports) std::printf("%s\n", portLine(port).c_str());
  return 0;
}

std::string permissionHint(const platform::PortAccess& access) {
  if (!access.group.empty() && access.groupNotYetActive)
    return "Your user is in the '" + access.group + "' group, which may use " + access.device +
           ", but this login began before it was added: log out and in again.\n";
  if (!access.group.empty())
    return "You have no permission to use " + access.device + ". Add your user to the '" +
           access.group + "' group (sudo usermod -aG " + access.group +
           " $USER) and log in again.\n";
  return "You have no permission to use " + access.device +
         ": ask the administrator for read and write access to it.\n";
}

std::string existingPortsText(const std::vector<platform::SerialPortInfo>& ports) {
  if (ports.empty()) return "No serial ports found on this computer.\n";
  std::string text = "Serial ports on this computer:\n";
  for (const auto& port : ports) text += "  " + portLine(port) + "\n";
  return text;
}

void printOpenFailureHelp(DWORD code, const char* portName) {
  if (code == ERROR_ACCESS_DENIED) {
    platform::PortAccess access = platform::portAccess(portName);
    if (access.denied) std::fputs(permissionHint(access).c_str(), stdout);
  } else if (code == ERROR_FILE_NOT_FOUND) {
    std::fputs(existingPortsText(platform::listSerialPorts()).c_str(), stdout);
  }
}
