// `updater --list` and the advice after a failed open of the port.
#include "frontend/port_list_command.h"

#include <cstdio>

#include "common/printable.h"
#include "common/hint.h"

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
  // Names given a device in the environment come last: they are what the
  // updater opens under those names.
  for (const platform::MappedPort& mapped : platform::mappedPorts()) {
    platform::SerialPortInfo port;
    port.name = mapped.name;
    port.device = mapped.device;
    port.description = "set by " + mapped.variable;
    ports.push_back(port);
  }
  if (ports.empty()) std::printf("no serial ports found\n");
  for (const auto& port : ports) std::printf("%s\n", portLine(port).c_str());
  return 0;
}

std::string permissionHint(const platform::PortAccess& access) {
  if (!access.group.empty() && access.groupNotYetActive)
    return hintLines("your user is in the group '" + access.group + "', which may use " +
                     access.device + ", but this login began before it was added:\n" +
                     "log out and in again");
  if (!access.group.empty())
    return hintLines("the members of the group '" + access.group + "' may use " + access.device +
                     ": add your user to it\n  sudo usermod -aG " + access.group +
                     " $USER\nthen log out and in again");
  return hintLines("ask the administrator for read and write access to " + access.device);
}

std::string existingPortsText(const std::vector<platform::SerialPortInfo>& ports) {
  if (ports.empty()) return hintLines("no serial ports were found on this computer");
  std::string text = "serial ports on this computer:\n";
  for (const auto& port : ports) text += "  " + portLine(port) + "\n";
  return hintLines(text);
}

void printOpenFailureHelp(DWORD code, const char* portName) {
  std::string hints;
  if (code == ERROR_ACCESS_DENIED) {
    platform::PortAccess access = platform::portAccess(portName);
    if (access.denied) hints = permissionHint(access);
  } else if (code == ERROR_FILE_NOT_FOUND) {
    hints = existingPortsText(platform::listSerialPorts());
  }
  std::fflush(stdout);
  std::fputs(hints.c_str(), stderr);
}
