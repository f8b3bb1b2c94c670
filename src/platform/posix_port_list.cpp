// The serial ports of a Linux system, read from /dev, sysfs and procfs
// without opening any of them: opening a tty raises DTR and RTS, and closing
// it drops them again, which resets some devices (boards behind a USB ACM
// port among them).  A listing must leave the lines alone.
//
// Which ports: /dev/ttyS<n> only when sysfs shows a UART behind it (the
// 8250 driver registers placeholders for ports that are not there, with
// type 0, PORT_UNKNOWN); every /dev/ttyUSB<n> and /dev/ttyACM<n>.
//
// In use: another process has the device open (its /proc/<pid>/fd links,
// visible for one's own processes, or all of them for root), or holds a
// lock on it (/proc/locks, where the updater's own flock shows as well).
#ifndef _WIN32

#include "platform/port_list.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#ifdef __linux__
#include <sys/sysmacros.h>
#endif

#include "platform/posix_device.h"

namespace platform {
namespace {

using DirPtr = std::unique_ptr<DIR, int (*)(DIR*)>;

DirPtr openDir(const std::string& path) { return DirPtr(opendir(path.c_str()), closedir); }

std::vector<std::string> entriesOf(const std::string& path) {
  std::vector<std::string> names;
  DirPtr dir = openDir(path);
  if (!dir) return names;
  while (dirent* e = readdir(dir.get())) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
      names.push_back(e->d_name);
  }
  return names;
}

bool exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

// First line of a sysfs or procfs attribute, without its line end; empty
// when it cannot be read.
std::string firstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return std::string();
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
    line.pop_back();
  return line;
}

std::string resolved(const std::string& path) {
  char buf[PATH_MAX];
  return realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

std::string baseName(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "ttyUSB12" with prefix "ttyUSB" gives 12; -1 when the rest is not a number.
long numberAfter(const std::string& name, const char* prefix) {
  std::size_t len = std::strlen(prefix);
  if (name.size() <= len || name.size() > len + 6 || name.compare(0, len, prefix) != 0) return -1;
  long n = 0;
  for (std::size_t i = len; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return -1;
    n = n * 10 + (name[i] - '0');
  }
  return n;
}

// serial_core's port types (linux/serial_core.h) for the common UARTs.
std::string uartName(long type) {
  static const char* const kNames[] = {nullptr,  "8250",  "16450",   "16550", "16550A",
                                       "Cirrus", "16650", "16650V2", "16750", "Startech",
                                       "16C950", "16654", "16850",   "RSA"};
  if (type > 0 && type < static_cast<long>(sizeof kNames / sizeof kNames[0]))
    return std::string(kNames[type]) + " UART";
  return "UART type " + std::to_string(type);
}

// The UART type of ttyS<n>: 0 (PORT_UNKNOWN) when there is none, -1 when
// sysfs does not say (kernels before 2.6.39 had no `type`).
long uartType(const std::string& ttyDir) {
  if (!exists(ttyDir + "/device")) return 0;
  std::string type = firstLine(ttyDir + "/type");
  return type.empty() ? -1 : std::strtol(type.c_str(), nullptr, 10);
}

// The USB device above a tty's sysfs device: the nearest directory, going
// up, that has idVendor.  Empty when the tty is not on USB.
std::string usbDeviceDir(const std::string& ttyDir, const std::string& sysRoot) {
  std::string dir = resolved(ttyDir + "/device");
  std::string top = resolved(sysRoot);
  for (int up = 0; up < 8 && !dir.empty() && dir.size() > top.size(); ++up) {
    if (exists(dir + "/idVendor")) return dir;
    dir = dir.substr(0, dir.rfind('/'));
  }
  return std::string();
}

void describeUsb(const std::string& ttyDir, const std::string& sysRoot, SerialPortInfo* port) {
  port->driver = baseName(resolved(ttyDir + "/device/driver"));
  std::string usb = usbDeviceDir(ttyDir, sysRoot);
  if (usb.empty()) return;
  std::string vendor = firstLine(usb + "/idVendor"), product = firstLine(usb + "/idProduct");
  if (!vendor.empty() && !product.empty()) port->usbId = vendor + ":" + product;
  std::string maker = firstLine(usb + "/manufacturer"), name = firstLine(usb + "/product");
  std::string text = maker.empty() ? name : name.empty() ? maker : maker + " " + name;
  if (!text.empty()) port->description = text;
  port->serialNumber = firstLine(usb + "/serial");
}

struct Kind {
  const char* tty;   // device name prefix
  const char* port;  // command-line name prefix
  int firstNumber;   // COM1 is ttyS0
};
const Kind kKinds[] = {{"ttyS", "COM", 1}, {"ttyUSB", "COMUSB", 0}, {"ttyACM", "COMACM", 0}};

// "pid 812" as "minicom (pid 812)" when its name can be read.
std::string processName(const std::string& procRoot, const std::string& pid) {
  std::string comm = firstLine(procRoot + "/" + pid + "/comm");
  return comm.empty() ? "pid " + pid : comm + " (pid " + pid + ")";
}

bool allDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Marks the ports that another process has open or locked.
void markPortsInUse(const std::string& procRoot, std::vector<SerialPortInfo>* ports) {
  std::map<std::string, SerialPortInfo*> byPath;
  for (auto& p : *ports) byPath[p.device] = &p;
  const std::string self = std::to_string(getpid());
  for (const std::string& pid : entriesOf(procRoot)) {
    if (!allDigits(pid) || pid == self) continue;
    std::string fdDir = procRoot + "/" + pid + "/fd";
    for (const std::string& fd : entriesOf(fdDir)) {
      char target[PATH_MAX];
      ssize_t n = readlink((fdDir + "/" + fd).c_str(), target, sizeof target - 1);
      if (n <= 0) continue;
      auto it = byPath.find(std::string(target, static_cast<std::size_t>(n)));
      if (it == byPath.end() || it->second->inUse) continue;
      it->second->inUse = true;
      it->second->heldBy = processName(procRoot, pid);
    }
  }

#ifdef __linux__
  // "1: FLOCK  ADVISORY  WRITE 812 00:05:87 0 EOF": the lock's owner, then
  // the locked inode as major:minor (hex) of its file system and number.
  // Waiters are listed with "->" after the index and hold nothing.
  std::ifstream locks(procRoot + "/locks");
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string index, kind, mode, access, pid, where;
    if (!(fields >> index >> kind >> mode >> access >> pid >> where) || kind == "->") continue;
    unsigned major_ = 0, minor_ = 0;
    unsigned long long inode = 0;
    if (std::sscanf(where.c_str(), "%x:%x:%llu", &major_, &minor_, &inode) != 3) continue;
    for (auto& p : *ports) {
      struct stat st {};
      if (p.inUse || stat(p.device.c_str(), &st) != 0) continue;
      if (major(st.st_dev) == major_ && minor(st.st_dev) == minor_ &&
          static_cast<unsigned long long>(st.st_ino) == inode) {
        p.inUse = true;
        p.heldBy = allDigits(pid) ? processName(procRoot, pid) : std::string();
      }
    }
  }
#endif
}

}  // namespace

std::vector<SerialPortInfo> listSerialPorts(const PortScanRoots& roots) {
  struct Found {
    int kind;
    long number;
    std::string tty;
  };
  std::vector<Found> found;
  for (const std::string& name : entriesOf(roots.dev)) {
    for (int k = 0; k < 3; ++k) {
      long n = numberAfter(name, kKinds[k].tty);
      if (n >= 0) found.push_back({k, n, name});
    }
  }
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    return a.kind != b.kind ? a.kind < b.kind : a.number < b.number;
  });

  std::vector<SerialPortInfo> ports;
  for (const Found& f : found) {
    SerialPortInfo port;
    port.name = kKinds[f.kind].port + std::to_string(f.number + kKinds[f.kind].firstNumber);
    port.device = roots.dev + "/" + f.tty;
    std::string ttyDir = roots.sys + "/class/tty/" + f.tty;
    if (f.kind == 0) {
      long type = uartType(ttyDir);
      if (type == 0) continue;  // a placeholder: no UART behind it
      port.description = type > 0 ? uartName(type) : "serial port";
    } else {
      port.description = f.kind == 1 ? "USB serial adapter" : "USB modem (CDC ACM)";
      describeUsb(ttyDir, roots.sys, &port);
    }
    ports.push_back(port);
  }

  // Stable names: each by-id link resolves to one of the devices.
  std::string byId = roots.dev + "/serial/by-id";
  std::vector<std::string> links = entriesOf(byId);
  std::sort(links.begin(), links.end());
  for (const std::string& link : links) {
    std::string target = resolved(byId + "/" + link);
    for (auto& p : ports)
      if (!target.empty() && target == resolved(p.device)) p.aliases.push_back(byId + "/" + link);
  }

  markPortsInUse(roots.proc, &ports);
  return ports;
}

std::vector<SerialPortInfo> listSerialPorts() { return listSerialPorts(PortScanRoots{}); }

std::vector<MappedPort> mappedPorts(char** environment) {
  static const char kPrefix[] = "UPDATER_PORT_";
  std::vector<MappedPort> ports;
  for (char** entry = environment; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::size_t equals = text.find('=');
    if (text.compare(0, sizeof kPrefix - 1, kPrefix) != 0 || equals == std::string::npos ||
        equals == sizeof kPrefix - 1)
      continue;
    ports.push_back({text.substr(sizeof kPrefix - 1, equals - (sizeof kPrefix - 1)),
                     text.substr(0, equals), text.substr(equals + 1)});
  }
  std::sort(ports.begin(), ports.end(),
            [](const MappedPort& a, const MappedPort& b) { return a.name < b.name; });
  return ports;
}

std::vector<MappedPort> mappedPorts() { return mappedPorts(environ); }

PortAccess deviceAccess(const std::string& devicePath) {
  PortAccess access;
  access.device = devicePath;
  if (devicePath.empty() || faccessat(AT_FDCWD, devicePath.c_str(), R_OK | W_OK, AT_EACCESS) == 0)
    return access;
  if (errno != EACCES && errno != EPERM) return access;
  access.denied = true;

  // The group that may read and write the device, unless that is root's.
  struct stat st {};
  if (stat(devicePath.c_str(), &st) != 0 || st.st_gid == 0 ||
      (st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP))
    return access;
  std::vector<char> buf(16384);
  group grp{};
  group* g = nullptr;
  if (getgrgid_r(st.st_gid, &grp, buf.data(), buf.size(), &g) != 0 || g == nullptr) return access;
  access.group = g->gr_name;

  // Already a member in the group database (the user added, not yet logged
  // in again) but not in this process's groups?
  std::vector<char> pwbuf(16384);
  passwd pw{};
  passwd* user = nullptr;
  if (getpwuid_r(geteuid(), &pw, pwbuf.data(), pwbuf.size(), &user) != 0 || user == nullptr)
    return access;
  int count = 256;
  std::vector<gid_t> configured(static_cast<std::size_t>(count));
  if (getgrouplist(user->pw_name, user->pw_gid, configured.data(), &count) < 0) return access;
  configured.resize(static_cast<std::size_t>(count));
  if (std::find(configured.begin(), configured.end(), st.st_gid) != configured.end()) {
    int active = getgroups(0, nullptr);
    std::vector<gid_t> now(static_cast<std::size_t>(active > 0 ? active : 0));
    if (active > 0) active = getgroups(active, now.data());
    bool inSession = getegid() == st.st_gid ||
                     (active >= 0 && std::find(now.begin(), now.end(), st.st_gid) != now.end());
    if (inSession)
      access.group.clear();  // the group is no help: something else refuses it
    else
      access.groupNotYetActive = true;
  }
  return access;
}

PortAccess portAccess(const std::string& portName) {
  return deviceAccess(devicePathForPort(portName));
}

}  // namespace platform

#endif  // !_WIN32
