// The serial ports this computer has, and why one of them could not be
// opened: what `updater --list` prints and what the start-up adds after a
// failed open.
//
// Linux: every /dev/ttyS* behind which a UART answers, every /dev/ttyUSB*
// and /dev/ttyACM*, with what sysfs knows of the USB device behind them and
// the /dev/serial/by-id names that lead to them.  Windows: the COM ports of
// the registry's SERIALCOMM map, described by SetupAPI.
#pragma once

#include <string>
#include <vector>

namespace platform {

struct SerialPortInfo {
  std::string name;                  // what to type on the command line: COM1, COMUSB0, COMACM0
  std::string device;                // /dev/ttyUSB0; on Windows the kernel device (\Device\Serial0)
  std::string description;           // what the system calls it ("16550A UART", "USB Serial Port")
  std::string usbId;                 // "0403:6001" (vendor:product) for a USB device, else empty
  std::string serialNumber;          // the USB device's serial number, when it has one
  std::string driver;                // the kernel driver (ftdi_sio, cdc_acm), when known
  std::vector<std::string> aliases;  // stable names that lead to it (/dev/serial/by-id/...)
  bool inUse = false;                // true only when the system says another program holds it
  std::string heldBy;                // that program, when known: "minicom (pid 812)"
};

// The ports of this computer, COM ports first, each kind in number order.
// Nothing is opened on Linux; on Windows each port is opened for a moment
// without sharing to learn whether another program holds it.
std::vector<SerialPortInfo> listSerialPorts();

// A port name given a device by an UPDATER_PORT_<NAME> variable (POSIX).
struct MappedPort {
  std::string name;      // COM7
  std::string variable;  // UPDATER_PORT_COM7
  std::string device;    // its value, /dev/pts/3
};

// The variables of the environment `environment` (NAME=value entries, a
// null pointer last) that map port names, in name order.  Empty on Windows,
// where the names are the system's.
std::vector<MappedPort> mappedPorts(char** environment);
std::vector<MappedPort> mappedPorts();

#ifndef _WIN32
// Where the Linux scan looks; the unit tests point these into a scratch tree.
struct PortScanRoots {
  std::string sys = "/sys";
  std::string dev = "/dev";
  std::string proc = "/proc";
};
std::vector<SerialPortInfo> listSerialPorts(const PortScanRoots& roots);
#endif

// Whether the system refuses this process the use of a device for want of
// permission (the failed open then reports ERROR_ACCESS_DENIED, as for a
// port held by another program), and what would grant it.
struct PortAccess {
  bool denied = false;
  std::string device;              // the device path that was checked
  std::string group;               // the group that may read and write it ("dialout"), else empty
  bool groupNotYetActive = false;  // the user is in `group`, but this login predates it
};

// For a port name as typed (COM7, COMUSB0).  Always "not denied" on
// Windows, where ERROR_ACCESS_DENIED on a COM port means that it is in use.
PortAccess portAccess(const std::string& portName);

#ifndef _WIN32
// The same for a device path.
PortAccess deviceAccess(const std::string& devicePath);
#endif

}  // namespace platform
