// The Linux port scan on fake /dev, sysfs and procfs trees, and the
// permission check behind the dialout advice.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "frontend/port_list_command.h"
#include "platform/port_list.h"

namespace {

namespace fs = std::filesystem;

// A fresh folder, removed with everything in it.
class Scratch {
 public:
  Scratch() {
    std::string tmpl = (fs::temp_directory_path() / "updater-ports.XXXXXX").string();
    root_ = mkdtemp(tmpl.data()) ? tmpl : std::string();
  }
  ~Scratch() {
    std::error_code ec;
    if (!root_.empty()) fs::remove_all(root_, ec);
  }
  const std::string& root() const { return root_; }

 private:
  std::string root_;
};

// One entry of a fake tree: a folder (neither text nor link), a file with
// `text`, or a symbolic link to `link`.  In texts and links, $R stands for
// the tree's root and $LOCK(path) for a /proc/locks position of that file.
struct Node {
  const char* path;
  const char* text;
  const char* link;
};

std::string expand(std::string s, const std::string& root) {
  for (std::size_t p; (p = s.find("$LOCK(")) != std::string::npos;) {
    std::size_t end = s.find(')', p);
    struct stat st {};
    stat((root + "/" + s.substr(p + 6, end - p - 6)).c_str(), &st);
    char where[64];
    std::snprintf(where, sizeof where, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    s.replace(p, end + 1 - p, where);
  }
  for (std::size_t p; (p = s.find("$R")) != std::string::npos;) s.replace(p, 2, root);
  return s;
}

void build(const std::string& root, const std::vector<Node>& nodes) {
  // Files and folders first, so that $LOCK() finds what it names.
  for (int pass = 0; pass < 2; ++pass) {
    for (const Node& n : nodes) {
      fs::path path = fs::path(root) / n.path;
      fs::create_directories(path.parent_path());
      if (n.link && pass == 0) {
        fs::create_symlink(expand(n.link, root), path);
      } else if (n.text &&
                 (pass == 1) == (std::string(n.text).find("$LOCK") != std::string::npos)) {
        std::ofstream(path) << expand(n.text, root);
      } else if (!n.text && !n.link && pass == 0) {
        fs::create_directories(path);
      }
    }
  }
}

// The parts of a sysfs tree that every case shares: a PC's UART, the
// 8250 driver's placeholder, and two USB devices with their interfaces.
const std::vector<Node> kSys = {
    {"sys/devices/pnp0/00:01", nullptr, nullptr},
    {"sys/devices/platform/serial8250", nullptr, nullptr},
    {"sys/bus/usb-serial/drivers/ftdi_sio", nullptr, nullptr},
    {"sys/bus/usb/drivers/cdc_acm", nullptr, nullptr},
    {"sys/devices/usb1/1-1/idVendor", "0403\n", nullptr},
    {"sys/devices/usb1/1-1/idProduct", "6001\n", nullptr},
    {"sys/devices/usb1/1-1/manufacturer", "FTDI\n", nullptr},
    {"sys/devices/usb1/1-1/product", "FT232R USB UART\n", nullptr},
    {"sys/devices/usb1/1-1/serial", "A10K1234\n", nullptr},
    {"sys/devices/usb1/1-1/1-1:1.0/ttyUSB2/driver", nullptr,
     "../../../../../bus/usb-serial/drivers/ftdi_sio"},
    {"sys/devices/usb1/1-2/idVendor", "2341\n", nullptr},
    {"sys/devices/usb1/1-2/idProduct", "0043\n", nullptr},
    {"sys/devices/usb1/1-2/product", "Uno\n", nullptr},
    {"sys/devices/usb1/1-2/1-2:1.0/driver", nullptr, "../../../../bus/usb/drivers/cdc_acm"},
    {"proc", nullptr, nullptr},
};

TEST(PortList, ScanFindsRealPortsWithWhatIsKnownOfThem) {
  struct Case {
    const char* what;
    std::vector<Node> nodes;
    std::vector<std::string> lines;  // as --list prints them
  };
  const Case cases[] = {
      {"a UART and a placeholder; a lock waiter holds nothing",
       {{"dev/ttyS0", "", nullptr},
        {"sys/class/tty/ttyS0/device", nullptr, "../../../devices/pnp0/00:01"},
        {"sys/class/tty/ttyS0/type", "4\n", nullptr},
        {"dev/ttyS1", "", nullptr},
        {"sys/class/tty/ttyS1/device", nullptr, "../../../devices/platform/serial8250"},
        {"sys/class/tty/ttyS1/type", "0\n", nullptr},
        {"dev/ttyS2", "", nullptr},  // no sysfs entry at all
        {"proc/locks", "1: -> FLOCK  ADVISORY  WRITE 77 $LOCK(dev/ttyS0) 0 EOF\n", nullptr}},
       {"COM1      $R/dev/ttyS0  16550A UART"}},
      {"USB adapters in number order, by-id name, held open by a program",
       {{"dev/ttyUSB10", "", nullptr},
        {"dev/ttyUSB2", "", nullptr},
        {"dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0", nullptr, "../../ttyUSB2"},
        {"sys/class/tty/ttyUSB2/device", nullptr, "../../../devices/usb1/1-1/1-1:1.0/ttyUSB2"},
        {"proc/4242/comm", "minicom\n", nullptr},
        {"proc/4242/fd/0", nullptr, "/dev/pts/1"},
        {"proc/4242/fd/3", nullptr, "$R/dev/ttyUSB2"}},
       {"COMUSB2   $R/dev/ttyUSB2  FTDI FT232R USB UART, USB 0403:6001, serial A10K1234, "
        "driver ftdi_sio, $R/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0, "
        "in use by minicom (pid 4242)",
        "COMUSB10  $R/dev/ttyUSB10  USB serial adapter"}},
      {"an ACM device locked by another program",
       {{"dev/ttyACM0", "", nullptr},
        {"sys/class/tty/ttyACM0/device", nullptr, "../../../devices/usb1/1-2/1-2:1.0"},
        {"proc/812/comm", "updater\n", nullptr},
        {"proc/locks", "1: FLOCK  ADVISORY  WRITE 812 $LOCK(dev/ttyACM0) 0 EOF\n", nullptr}},
       {"COMACM0   $R/dev/ttyACM0  Uno, USB 2341:0043, driver cdc_acm, "
        "in use by updater (pid 812)"}},
      {"a process name with escape sequences is shown escaped",
       {{"dev/ttyACM0", "", nullptr},
        {"sys/class/tty/ttyACM0/device", nullptr, "../../../devices/usb1/1-2/1-2:1.0"},
        {"proc/813/comm", "\x1B]0;owned\x07\x1B[2J\n", nullptr},
        {"proc/locks", "1: FLOCK  ADVISORY  WRITE 813 $LOCK(dev/ttyACM0) 0 EOF\n", nullptr}},
       {"COMACM0   $R/dev/ttyACM0  Uno, USB 2341:0043, driver cdc_acm, "
        "in use by \\x1B]0;owned\\x07\\x1B[2J (pid 813)"}},
      {"no ports at all", {{"dev/tty", "", nullptr}, {"dev/ttyprintk", "", nullptr}}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Scratch tree;
    ASSERT_FALSE(tree.root().empty());
    build(tree.root(), kSys);
    build(tree.root(), c.nodes);
    platform::PortScanRoots roots{tree.root() + "/sys", tree.root() + "/dev",
                                  tree.root() + "/proc"};
    std::vector<std::string> lines;
    for (const auto& port : platform::listSerialPorts(roots)) lines.push_back(portLine(port));
    std::vector<std::string> expected;
    for (const std::string& line : c.lines) expected.push_back(expand(line, tree.root()));
    EXPECT_EQ(lines, expected);
  }
}

// deviceAccess as seen by an unprivileged user: run in a child that drops
// root's rights when the test runs as root (root may open anything).
platform::PortAccess accessAsUser(const std::string& path) {
  if (geteuid() != 0) return platform::deviceAccess(path);
  int fds[2];
  if (pipe(fds) != 0) return {};
  pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(1);
    platform::PortAccess a = platform::deviceAccess(path);
    std::string result = std::string(a.denied ? "1" : "0") + a.group;
    _exit(write(fds[1], result.data(), result.size()) == static_cast<ssize_t>(result.size()) ? 0
                                                                                             : 1);
  }
  close(fds[1]);
  char buf[256];
  ssize_t n = read(fds[0], buf, sizeof buf);
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  platform::PortAccess a;
  a.device = path;
  if (n > 0) {
    a.denied = buf[0] == '1';
    a.group.assign(buf + 1, static_cast<std::size_t>(n - 1));
  }
  return a;
}

// --list shows the names the environment maps, as the updater would open
// them: only UPDATER_PORT_<NAME>=value entries with a name, in name order.
TEST(PortList, MappedPortsComeFromTheEnvironment) {
  std::vector<std::string> entries = {"PATH=/bin", "UPDATER_PORT_COM7=/dev/pts/3",
                                      "UPDATER_PORT_=/dev/null", "UPDATER_PORT_COM10",
                                      "UPDATER_PORT_COM1=/dev/pts/1", "XUPDATER_PORT_COM2=/x"};
  std::vector<char*> environment;
  for (std::string& entry : entries) environment.push_back(&entry[0]);
  environment.push_back(nullptr);
  const std::vector<platform::MappedPort> ports = platform::mappedPorts(environment.data());
  ASSERT_EQ(ports.size(), 2u);
  EXPECT_EQ(ports[0].name, "COM1");
  EXPECT_EQ(ports[0].device, "/dev/pts/1");
  EXPECT_EQ(ports[1].name, "COM7");
  EXPECT_EQ(ports[1].variable, "UPDATER_PORT_COM7");
  EXPECT_EQ(ports[1].device, "/dev/pts/3");
}

TEST(PortList, PermissionRefusalNamesTheGroupThatGrantsAccess) {
  Scratch dir;
  ASSERT_FALSE(dir.root().empty());
  chmod(dir.root().c_str(), 0755);
  std::string device = dir.root() + "/ttyUSB0", open = dir.root() + "/ttyUSB1";
  std::ofstream(device).put('x');
  std::ofstream(open).put('x');
  chmod(open.c_str(), 0666);
  // The device belongs to the dialout group when there is one and this
  // test may give it away; else nobody but its owner may use it.
  const group* dialout = getgrnam("dialout");
  bool grouped = geteuid() == 0 && dialout && chown(device.c_str(), 0, dialout->gr_gid) == 0;
  chmod(device.c_str(), grouped ? 0660 : 0);

  platform::PortAccess refused = accessAsUser(device);
  EXPECT_TRUE(refused.denied);
  EXPECT_EQ(refused.group, grouped ? "dialout" : "");
  EXPECT_NE(
      permissionHint(refused).find(grouped ? "hint:   sudo usermod -aG dialout $USER\n"
                                             "hint: then log out and in again\n"
                                           : "hint: ask the administrator"),
      std::string::npos)
      << permissionHint(refused);

  EXPECT_FALSE(accessAsUser(open).denied);
  EXPECT_FALSE(accessAsUser(dir.root() + "/ttyUSB9").denied);  // missing is not refused
}

}  // namespace
