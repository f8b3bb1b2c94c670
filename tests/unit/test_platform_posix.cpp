// The POSIX platform layer on real pseudo-terminals and real time: the
// Win32 semantics that the protocol code relies on.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix_device.h"
#include "platform/win32.h"
#include "support/scratch_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point t) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// A pseudo-terminal whose slave the updater opens as COM50.
class Pty : public ::testing::Test {
 protected:
  void SetUp() override {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    termios tio{};
    tcgetattr(master, &tio);
    cfmakeraw(&tio);
    tcsetattr(master, TCSANOW, &tio);
    setenv("UPDATER_PORT_COM50", ptsname(master), 1);
  }
  void TearDown() override {
    if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
    if (master >= 0) close(master);
    unsetenv("UPDATER_PORT_COM50");
  }
  HANDLE openPort() {
    return CreateFileA("\\\\.\\COM50", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
  }
  void setTimeouts(DWORD ri, DWORD rm, DWORD rc, DWORD wm = 0, DWORD wc = 0) {
    COMMTIMEOUTS t{ri, rm, rc, wm, wc};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
  }
  int master = -1;
  HANDLE port = INVALID_HANDLE_VALUE;
};

TEST(PortNames, MapToDevicesAndTheEnvironmentWins) {
  unsetenv("UPDATER_PORT_COM1");
  EXPECT_EQ(platform::devicePathForPort("COM1"), "/dev/ttyS0");
  EXPECT_EQ(platform::devicePathForPort("COM12"), "/dev/ttyS11");
  EXPECT_EQ(platform::devicePathForPort("COMUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(platform::devicePathForPort("COMACM3"), "/dev/ttyACM3");
  EXPECT_EQ(platform::devicePathForPort("COMX"), "");
  EXPECT_EQ(platform::devicePathForPort("COM0"), "");
  setenv("UPDATER_PORT_COM1", "/dev/pts/7", 1);
  EXPECT_EQ(platform::devicePathForPort("COM1"), "/dev/pts/7");
  unsetenv("UPDATER_PORT_COM1");
}

TEST(PortNames, ErrorCodesFollowTheOneTable) {
  EXPECT_EQ(platform::win32ErrorFromErrno(ENOENT), 2u);
  EXPECT_EQ(platform::win32ErrorFromErrno(ENXIO), 2u);
  EXPECT_EQ(platform::win32ErrorFromErrno(EBUSY), 5u);
  EXPECT_EQ(platform::win32ErrorFromErrno(EWOULDBLOCK), 5u);
  EXPECT_EQ(platform::win32ErrorFromErrno(EINVAL), 87u);
  EXPECT_EQ(platform::win32ErrorFromErrno(ENOTTY), 1u);
  EXPECT_EQ(platform::win32ErrorFromErrno(EIO), 1117u);
  EXPECT_EQ(platform::win32ErrorFromErrno(EMFILE), 31u);
}

TEST_F(Pty, OpenIsExclusiveAndMissingDevicesSayNotFound) {
  port = openPort();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  SetLastError(0);
  EXPECT_EQ(openPort(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 5u);
  setenv("UPDATER_PORT_COM51", "/dev/nonexistent-tty", 1);
  EXPECT_EQ(CreateFileA("\\\\.\\COM51", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                        nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 2u);
  unsetenv("UPDATER_PORT_COM51");
  CloseHandle(port);
  port = openPort();  // free again once closed
  EXPECT_NE(port, INVALID_HANDLE_VALUE);
}

TEST_F(Pty, LineSettingsReachTheOtherEndAndFlowControlIsOff) {
  port = openPort();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(port, &dcb));
  dcb.BaudRate = 9600;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;  // a pty has no RTS: no failure
  dcb.fOutX = 0;
  dcb.fInX = 0;
  SetLastError(0);
  ASSERT_TRUE(SetCommState(port, &dcb));
  EXPECT_EQ(GetLastError(), 0u);  // success leaves no error behind
  termios tio{};
  tcgetattr(master, &tio);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
  dcb.BaudRate = 12345;  // no such rate
  EXPECT_FALSE(SetCommState(port, &dcb));
  EXPECT_EQ(GetLastError(), 87u);

  // XON/XOFF bytes pass through untouched.
  setTimeouts(MAXDWORD, MAXDWORD, 100);
  const unsigned char data[] = {0x11, 0x13, 0x00, 0x0D, 0x0A};
  ASSERT_EQ(write(master, data, sizeof data), static_cast<ssize_t>(sizeof data));
  unsigned char got[8] = {0};
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(port, got, sizeof got, &n, nullptr));
  ASSERT_EQ(n, sizeof data);
  EXPECT_EQ(0, memcmp(got, data, sizeof data));
}

TEST_F(Pty, PollingReadReturnsAtOnceOnASilentLine) {
  port = openPort();
  setTimeouts(MAXDWORD, MAXDWORD, 1);
  unsigned char b[50];
  DWORD n = 99;
  auto t = Clock::now();
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(ReadFile(port, b, sizeof b, &n, nullptr));
  EXPECT_EQ(n, 0u);
  EXPECT_LT(msSince(t), 200);  // about 1 ms each
}

TEST_F(Pty, AByteThatArrivesWakesTheReaderAtOnce) {
  port = openPort();
  setTimeouts(MAXDWORD, MAXDWORD, 2000);
  std::thread peer([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_EQ(write(master, "A", 1), 1);
  });
  unsigned char b[10];
  DWORD n = 0;
  auto t = Clock::now();
  ASSERT_TRUE(ReadFile(port, b, sizeof b, &n, nullptr));
  long spent = msSince(t);
  peer.join();
  EXPECT_EQ(n, 1u);
  EXPECT_GE(spent, 25);
  EXPECT_LT(spent, 500);
}

TEST_F(Pty, TotalTimeoutWaitsForTheCountOrTheTime) {
  port = openPort();
  setTimeouts(0, 0, 50);
  unsigned char b[4];
  DWORD n = 9;
  auto t = Clock::now();
  ASSERT_TRUE(ReadFile(port, b, 1, &n, nullptr));
  long spent = msSince(t);
  EXPECT_EQ(n, 0u);
  EXPECT_GE(spent, 45);
  EXPECT_LT(spent, 400);

  ASSERT_EQ(write(master, "xy", 2), 2);
  std::thread peer([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(write(master, "z", 1), 1);
  });
  t = Clock::now();
  ASSERT_TRUE(ReadFile(port, b, 3, &n, nullptr));
  spent = msSince(t);
  peer.join();
  EXPECT_EQ(n, 3u);  // returns as soon as the count is there
  EXPECT_LT(spent, 45);
}

TEST_F(Pty, AWriteToAPeerThatStopsReadingEndsOnItsTimeout) {
  port = openPort();
  setTimeouts(MAXDWORD, MAXDWORD, 1, 0, 100);
  std::vector<unsigned char> big(4 << 20, 0x55);
  DWORD put = 0;
  auto t = Clock::now();
  ASSERT_TRUE(WriteFile(port, big.data(), static_cast<DWORD>(big.size()), &put, nullptr));
  long spent = msSince(t);
  EXPECT_LT(put, big.size());  // short count, success, as on Windows
  EXPECT_GE(spent, 90);
  EXPECT_LT(spent, 1000);
}

TEST_F(Pty, AVanishedDeviceMakesReadsFail) {
  port = openPort();
  setTimeouts(MAXDWORD, MAXDWORD, 1);
  close(master);
  master = -1;
  unsigned char b[4];
  DWORD n = 0;
  EXPECT_FALSE(ReadFile(port, b, sizeof b, &n, nullptr));
  EXPECT_EQ(GetLastError(), 1117u);
}

// A serial driver's settings as the port's low-latency request meets them:
// whether it has them at all, its flags, whether it takes new ones.  Time
// and keys stay real; every settings request is recorded.
class SerialDriver : public platform::Hooks {
 public:
  SerialDriver(bool hasSettings, int driverFlags, bool takesSettings)
      : flags(driverFlags), hasSettings_(hasSettings), takesSettings_(takesSettings) {}
  uint32_t ticks() override {
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     Clock::now().time_since_epoch()).count());
  }
  void sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  int getch() override { return -1; }
  int serialIoctl(int, unsigned long request, void* arg) override {
    auto* s = static_cast<serial_struct*>(arg);
    if (request == TIOCGSERIAL) {
      requests.push_back("get");
      if (!hasSettings_) return errno = ENOTTY, -1;
      s->flags = flags;
      return 0;
    }
    requests.push_back("set " + std::to_string(s->flags));
    if (!takesSettings_) return errno = EPERM, -1;
    flags = s->flags;
    return 0;
  }
  int flags;
  std::vector<std::string> requests;

 private:
  bool hasSettings_, takesSettings_;
};

TEST_F(Pty, OpenAsksTheDriverForLowLatencyAndCloseGivesItsSettingBack) {
  const int kOther = ASYNC_SKIP_TEST;  // a flag of the driver's own
  const int kLow = ASYNC_LOW_LATENCY;
  const std::string set = "set ", other = std::to_string(kOther);
  struct Case {
    const char* name;
    bool fakeDriver, hasSettings, takesSettings;
    int flags;
    std::vector<std::string> open, close;  // the requests each makes
  } cases[] = {
      {"a driver with the setting", true, true, true, kOther,
       {"get", set + std::to_string(kOther | kLow)}, {"get", set + other}},
      {"already in low-latency mode: left as it is", true, true, true, kOther | kLow, {"get"}, {}},
      {"a driver that refuses new settings", true, true, false, kOther,
       {"get", set + std::to_string(kOther | kLow)}, {}},
      {"a driver without the settings", true, false, false, 0, {"get"}, {}},
      {"a real pseudo-terminal", false, false, false, 0, {}, {}},
  };
  // The real pseudo-terminal does refuse the request.
  int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  serial_struct probe{};
  EXPECT_NE(ioctl(slave, TIOCGSERIAL, &probe), 0);
  close(slave);

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<SerialDriver> driver;
    if (c.fakeDriver) {
      driver = std::make_unique<SerialDriver>(c.hasSettings, c.flags, c.takesSettings);
      platform::installHooks(driver.get());
    }
    SetLastError(0);
    port = openPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 0u);  // a refusal leaves no error for the identification
    if (driver) {
      EXPECT_EQ(driver->requests, c.open);
    }

    // The port works whatever the driver said.
    setTimeouts(MAXDWORD, MAXDWORD, 100);
    ASSERT_EQ(write(master, "K", 1), 1);
    unsigned char b[4];
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(port, b, sizeof b, &n, nullptr));
    EXPECT_EQ(n, 1u);

    CloseHandle(port);
    port = INVALID_HANDLE_VALUE;
    platform::installHooks(nullptr);
    if (!driver) continue;
    std::vector<std::string> all = c.open;
    all.insert(all.end(), c.close.begin(), c.close.end());
    EXPECT_EQ(driver->requests, all);
    EXPECT_EQ(driver->flags, c.flags);  // the driver's own setting again
  }
}

TEST(Files, AttributesAndSizeThroughTheWin32Names) {
  testsupport::ScratchDir dir;
  const std::string path = dir.write("appMain.mot", std::string(510527, 'S'));
  EXPECT_NE(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetFileAttributesA(dir.path().c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetFileSize(f, nullptr), 510527u);
  CloseHandle(f);
  unlink(path.c_str());
  EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), 2u);
}

// Wake-ups on time while the run lives: a 1 us timer slack, and the old
// slack back afterwards.
TEST(Process, FineTimerHoldsAOneMicrosecondSlackWhileItLives) {
  const int inherited = prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);
  ASSERT_EQ(prctl(PR_SET_TIMERSLACK, 50000UL, 0UL, 0UL, 0UL), 0);  // the kernel's default
  {
    const FineTimer timer;
    EXPECT_TRUE(timer.granted());
    EXPECT_EQ(prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL), 1000);
  }
  EXPECT_EQ(prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL), 50000);
  prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(inherited), 0UL, 0UL, 0UL);
}

// Raising the priority needs privileges; without them the call says so
// instead of pretending.  Runs in a child that gives up root first, so the
// test process keeps its own priority.
TEST(Process, ARefusedPriorityChangeIsReported) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 && setuid(65534) != 0) _exit(10);
    if (SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS)) _exit(11);
    if (GetLastError() != ERROR_ACCESS_DENIED) _exit(12);
    if (SetPriorityClass(nullptr, HIGH_PRIORITY_CLASS) || GetLastError() != ERROR_INVALID_HANDLE)
      _exit(13);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10: setuid, 11: not refused, 12: wrong code, 13: handle";
}

}  // namespace
