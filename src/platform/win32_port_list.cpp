// The COM ports of a Windows system.
//
// The list is the registry's HARDWARE\DEVICEMAP\SERIALCOMM map (kernel
// device -> COM name), which every serial driver fills while its port is
// present.  SetupAPI's "Ports (COM & LPT)" class adds the device
// descriptions (friendly name, USB vendor and product) and any present COM
// port a driver left out of the map.  SetupAPI is loaded at run time from
// the system folder: the release .exe imports only the core system DLLs,
// and a setupapi.dll beside the update files must never be the one loaded.
//
// In use: a port that refuses an exclusive open with ERROR_ACCESS_DENIED is
// held by another program.  Bluetooth serial ports are not tried: opening
// one makes Windows connect to the remote device, which takes seconds.
#ifdef _WIN32

#include "platform/port_list.h"

#include <algorithm>
#include <cstring>

#include "platform/win32.h"  // windows.h, which setupapi.h needs first

#include <setupapi.h>

namespace platform {
namespace {

// {4D36E978-E325-11CE-BFC1-08002BE10318}: the "Ports (COM & LPT)" class.
const GUID kPortsClass = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

struct RegKey {
  HKEY h = nullptr;
  RegKey() = default;
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  ~RegKey() {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) RegCloseKey(h);
  }
};

struct Library {
  HMODULE h;
  explicit Library(HMODULE m) : h(m) {}
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  ~Library() {
    if (h) FreeLibrary(h);
  }
};

// COM number of "COM12", -1 for anything else.
long comNumber(const std::string& name) {
  if (name.size() < 4 || name.size() > 9 || _strnicmp(name.c_str(), "COM", 3) != 0) return -1;
  long n = 0;
  for (std::size_t i = 3; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return -1;
    n = n * 10 + (name[i] - '0');
  }
  return n;
}

SerialPortInfo* findPort(std::vector<SerialPortInfo>* ports, const std::string& name) {
  for (auto& p : *ports)
    if (_stricmp(p.name.c_str(), name.c_str()) == 0) return &p;
  return nullptr;
}

// A REG_SZ value read into a string; empty when absent or of another type.
std::string stringValue(HKEY key, const char* name) {
  char data[512];
  DWORD size = sizeof data - 1, type = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ)
    return std::string();
  data[size] = '\0';
  return data;
}

void addFromDeviceMap(std::vector<SerialPortInfo>* ports) {
  RegKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key.h) !=
      ERROR_SUCCESS) {
    key.h = nullptr;
    return;
  }
  for (DWORD i = 0; i < 1024; ++i) {
    char device[256];
    char name[64];
    DWORD deviceLen = sizeof device, nameLen = sizeof name - 1, type = 0;
    LONG rc = RegEnumValueA(key.h, i, device, &deviceLen, nullptr, &type,
                            reinterpret_cast<BYTE*>(name), &nameLen);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS || type != REG_SZ) continue;  // too long for a port name: not one
    name[nameLen] = '\0';
    std::string port = name;  // the stored text may include its terminator
    if (comNumber(port) < 0 || findPort(ports, port)) continue;
    SerialPortInfo info;
    info.name = port;
    info.device = device;
    info.description = "serial port";
    ports->push_back(info);
  }
}

// "USB\VID_0403&PID_6001&REV_0600" gives "0403:6001".
std::string usbIdOf(const std::string& hardwareId) {
  std::size_t v = hardwareId.find("VID_"), p = hardwareId.find("PID_");
  if (v == std::string::npos || p == std::string::npos || hardwareId.size() < p + 8 ||
      hardwareId.size() < v + 8)
    return std::string();
  std::string id = hardwareId.substr(v + 4, 4) + ":" + hardwareId.substr(p + 4, 4);
  for (char& c : id) c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
  return id;
}

template <typename F>
F entry(HMODULE module, const char* name) {
  // Through void(*)(), the one function type that converts to any other
  // without a warning.
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

void describeFromSetupApi(std::vector<SerialPortInfo>* ports) {
  char path[MAX_PATH];
  UINT len = GetSystemDirectoryA(path, MAX_PATH);
  if (len == 0 || len + sizeof "\\setupapi.dll" > sizeof path) return;
  std::strcat(path, "\\setupapi.dll");
  Library lib(LoadLibraryA(path));
  if (!lib.h) return;
  auto getClassDevs = entry<decltype(&SetupDiGetClassDevsA)>(lib.h, "SetupDiGetClassDevsA");
  auto enumInfo = entry<decltype(&SetupDiEnumDeviceInfo)>(lib.h, "SetupDiEnumDeviceInfo");
  auto property = entry<decltype(&SetupDiGetDeviceRegistryPropertyA)>(
      lib.h, "SetupDiGetDeviceRegistryPropertyA");
  auto openKey = entry<decltype(&SetupDiOpenDevRegKey)>(lib.h, "SetupDiOpenDevRegKey");
  auto destroy =
      entry<decltype(&SetupDiDestroyDeviceInfoList)>(lib.h, "SetupDiDestroyDeviceInfoList");
  if (!getClassDevs || !enumInfo || !property || !openKey || !destroy) return;

  HDEVINFO set = getClassDevs(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return;
  struct SetGuard {
    HDEVINFO set;
    decltype(destroy) destroy;
    ~SetGuard() { destroy(set); }
  } guard{set, destroy};

  auto text = [&](SP_DEVINFO_DATA* info, DWORD what) {
    char buf[512];
    DWORD type = 0;
    if (!property(set, info, what, &type, reinterpret_cast<BYTE*>(buf), sizeof buf - 2, nullptr))
      return std::string();
    buf[sizeof buf - 2] = buf[sizeof buf - 1] = '\0';
    return std::string(buf);  // of a REG_MULTI_SZ, the first string
  };

  for (DWORD i = 0; i < 1024; ++i) {
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    if (!enumInfo(set, i, &info)) break;
    std::string name;
    {
      RegKey key;
      key.h = openKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
      if (key.h == INVALID_HANDLE_VALUE) {
        key.h = nullptr;
        continue;
      }
      name = stringValue(key.h, "PortName");
    }
    if (comNumber(name) < 0) continue;  // a printer port
    SerialPortInfo* port = findPort(ports, name);
    if (!port) {
      SerialPortInfo added;
      added.name = name;
      ports->push_back(added);
      port = &ports->back();
    }
    std::string friendly = text(&info, SPDRP_FRIENDLYNAME);
    std::string suffix = " (" + name + ")";
    if (friendly.size() > suffix.size() &&
        _stricmp(friendly.c_str() + friendly.size() - suffix.size(), suffix.c_str()) == 0)
      friendly.resize(friendly.size() - suffix.size());
    if (friendly.empty()) friendly = text(&info, SPDRP_DEVICEDESC);
    if (!friendly.empty()) port->description = friendly;
    std::string maker = text(&info, SPDRP_MFG);
    if (!maker.empty() && maker[0] != '(' && port->description.find(maker) == std::string::npos)
      port->description = maker + " " + port->description;
    port->usbId = usbIdOf(text(&info, SPDRP_HARDWAREID));
    port->driver = text(&info, SPDRP_SERVICE);
  }
}

void markPortsInUse(std::vector<SerialPortInfo>* ports) {
  for (auto& p : *ports) {
    if (p.device.find("BthModem") != std::string::npos) continue;
    std::string path = "\\\\.\\" + p.name;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h != INVALID_HANDLE_VALUE)
      CloseHandle(h);
    else if (GetLastError() == ERROR_ACCESS_DENIED)
      p.inUse = true;
  }
}

}  // namespace

std::vector<SerialPortInfo> listSerialPorts() {
  std::vector<SerialPortInfo> ports;
  addFromDeviceMap(&ports);
  describeFromSetupApi(&ports);
  std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
    return comNumber(a.name) < comNumber(b.name);
  });
  markPortsInUse(&ports);
  return ports;
}

PortAccess portAccess(const std::string&) { return PortAccess{}; }

std::vector<MappedPort> mappedPorts(char**) { return {}; }
std::vector<MappedPort> mappedPorts() { return {}; }

}  // namespace platform

#endif  // _WIN32
