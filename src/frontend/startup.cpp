// Command-line front end: start-up, probe, identification, banner, argument
// checks and dispatch to exactly one mode handler, then the common exit path.
#include "frontend/startup.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "boot/fdt.h"
#include "boot/image_check.h"
#include "common/elapsed.h"
#include "common/ticks.h"
#include "jobs/modes.h"
#include "link/identification.h"
#include "link/serial_port.h"

namespace {

constexpr int kVersionMajor = 2;
constexpr int kVersionMinor = 30;

// Sizes of appMain.mot images known to be bad.
constexpr DWORD kRefusedImageSizes[] = {570422, 570974, 510718, 510526, 511446, 511070};

enum Mode : unsigned short {
  kFpga = 0,
  kViper = 1,
  kMicro = 2,
  kEdid = 3,
  kAll = 4,
  kRemote = 5,
  kVerify = 6,
  kStatus = 7,
  kGamma = 8,
};

struct ModeEntry {
  const char* keyword;
  Mode mode;
};

const ModeEntry kModeTable[] = {
    {"FPGA", kFpga},   {"VIPER", kViper},   {"MICRO", kMicro},   {"EDID", kEdid},  {"ALL", kAll},
    {"REMOTE", kRemote}, {"VERIFY", kVerify}, {"STATUS", kStatus}, {"GAMMA", kGamma},
};

void printUsage(int DVITOSDI) {
  std::printf("Error: Usage is\n");
  std::printf("  updater [COMXX] [FPGA/VIPER] Filename.xxx\n");
  std::printf("e.g. updater COM1 FPGA fpga.xsvf\n");
  std::printf("e.g. updater COM1 VIPER Device5.bin\n");
  std::printf("e.g. updater COM1 MICRO\n");
  if (DVITOSDI == 1)
    std::printf("e.g. updater COM1 EDID\n");
  else
    std::printf("e.g. updater COM1 ALL\n");
}

void printHelp() {
  std::printf(
      "updater %d.%d - firmware updater for DVI/HDMI <-> SDI converter cards\n"
      "\n"
      "Usage: updater COMxx MODE [file]\n"
      "\n"
      "Modes:\n"
      "  FPGA   file.xsvf     stream an XSVF file into the card's FPGA\n"
      "  VIPER  DeviceN.bin   write flash device N (1, 5 or 7) of the video processor\n"
      "  VERIFY DeviceN.bin   compare flash device N with an image\n"
      "  MICRO                reflash the microcontroller from appMain.mot\n"
      "  EDID   file.bin      write a 128- or 256-byte EDID (DVI/HDMI input models)\n"
      "  GAMMA  file.csv      send a gamma table of 1024 R,G,B lines\n"
      "  REMOTE file.txt      play a script of card commands\n"
      "  STATUS               print the video processor's status report\n"
      "  ALL                  apply every update file found in this directory\n"
      "\n"
      "Ports: COMn is \\\\.\\COMn on Windows.  Elsewhere COMn is /dev/ttyS<n-1>,\n"
      "COMUSBn is /dev/ttyUSBn and COMACMn is /dev/ttyACMn; the environment variable\n"
      "UPDATER_PORT_<NAME> (for example UPDATER_PORT_COM7=/dev/pts/3) overrides this.\n"
      "\n"
      "Exit status: 0 when the run did what was asked, 1 when the operation or the\n"
      "port failed, 2 when the command line or a file argument was refused.\n",
      kVersionMajor, kVersionMinor);
}

bool exists(const char* name) { return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES; }

bool endsWith(const char* name, const char* ext) {
  std::size_t n = std::strlen(name), e = std::strlen(ext);
  return n >= e && std::strcmp(name + n - e, ext) == 0;
}

// One-byte write on the port; false when the call fails.
bool writeByte(unsigned char b) {
  DWORD written = 0;
  lrc = WriteFile(lport, &b, 1, &written, nullptr);
  lnumbytes = written;
  return lrc != FALSE;
}

// The common exit path.
int exitPath(int status) {
  closePort();
  std::printf("\nExit updater\n");
  std::fflush(stdout);
  return status;
}

// MICRO refuses an appMain.mot of a known-bad size before anything is sent.
// Returns kExitOk when the run may go on.
int checkMicroImage() {
  HANDLE f = CreateFileA("appMain.mot", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return kExitRefused;  // no message of its own
  DWORD size = GetFileSize(f, nullptr);
  CloseHandle(f);
  for (DWORD bad : kRefusedImageSizes) {
    if (size == bad) {
      std::printf("Bad appMain.mot file. Exit.\n");
      return kExitRefused;
    }
  }
  // A corrupt image must not half-write the microcontroller's flash.
  if (!checkMicroImageFile("appMain.mot")) return kExitFailed;
  return kExitOk;
}

// Writes single 0x00 bytes and returns the count of the last read: a running
// firmware answers, the boot program does not.
DWORD probe() {
  const DWORD begin = deadlineIn(1000);
  DWORD nbBytes = 0;
  unsigned char reply[100];
  for (int pass = 0; pass < 2; ++pass) {
    if (!writeByte(0x00)) break;
    Sleep(100);
    DWORD got = 0;
    ReadFile(lport, reply, 50, &got, nullptr);
    nbBytes = got;
    if (deadlinePassed(begin)) break;
  }
  return nbBytes;
}

int fdtExitStatus(int check) { return check == kFdtDone ? kExitOk : kExitFailed; }

// The card sits in boot mode (or runs a firmware too old to answer the
// probe): program the microcontroller directly.
int bootModeBranch() {
  std::printf("\nFlash is not programmed (BOOT MODE) or using old firmware version");
  Sleep(10);
  if (!setBaudRate(9600)) {
    std::printf("\nERROR");
    return exitPath(kExitFailed);
  }
  std::printf("\nMICRO Mode OK...Now starting the FDT programm...\n");
  DWORD begin = GetTickCount();
  int check = FDT(lport, lDCB, ct, lfullportname);
  if (check != kFdtBootSilent) {
    printTime(begin, 0);
    return exitPath(fdtExitStatus(check));
  }

  // Silent boot program: an old firmware may be running.  Its menu keys
  // CR '1' '$' '6' hand the microcontroller over to the boot program.
  if (!setBaudRate(115200)) {
    std::printf("\nERROR");
    return exitPath(kExitFailed);
  }
  const unsigned char keys[4] = {0x0D, '1', '$', '6'};
  for (unsigned char key : keys) {
    if (!writeByte(key)) return exitPath(kExitFailed);
    Sleep(500);
  }
  std::printf(
      "\nYou are using an old firmware...Now programming the FLASH ...\nBe sure to upload the "
      "most recent firmware ");
  if (!setBaudRate(9600)) {
    std::printf("\nERROR");
    return exitPath(kExitFailed);
  }
  check = FDT(lport, lDCB, ct, lfullportname);
  return exitPath(fdtExitStatus(check));
}

void printBanner(int devicenumber) {
  std::printf("\r\n* * * * * * * * * * * * * * * * * * * * * * * * * * * * *\n");
  if (cardVersion == 2)
    std::printf("\t\t\t\t\t\t\t*%c*\t\t\t%s PLUS\n", 13, cardModeName[devicenumber - 1]);
  else
    std::printf("\t\t\t\t\t\t\t*%c*\t\t\t%s\n", 13, cardModeName[devicenumber - 1]);
  std::printf("*\t\t\t\t\t\t\t*\n");
  std::printf("\t\t\t\t\t\t\t*%c*\tUpdater Version   -> %d.%d\n", 13, kVersionMajor,
              kVersionMinor);
  std::printf("*\t\t\t\t\t\t\t*\n");
  if (RDVersion[0] == 'E')
    std::printf("\t\t\t\t\t\t\t*%c*\tSoftware Version  -> Unknown\n", 13);
  else
    std::printf("\t\t\t\t\t\t\t*%c*\tSoftware Version  -> %s\n", 13, RDVersion);
  std::printf("* * * * * * * * * * * * * * * * * * * * * * * * * * * * *\n");
}

// The device-file rule of VIPER and VERIFY: "Device", a digit 1, 5 or 7,
// ".bin".  Returns the device number, or 0 after printing the refusal.
unsigned short deviceFromFileName(const char* fileName) {
  if (std::strncmp(fileName, "Device", 6) != 0) {
    std::printf("Bad device file. (Device 1 or 5 only)\n");
    return 0;
  }
  unsigned short device = 0;
  switch (fileName[6]) {
    case '1': device = 1; break;
    case '5': device = 5; break;
    case '7': device = 7; break;
    default:
      std::printf("Bad device file. (Device 1,5  or 7 only)\n");
      return 0;
  }
  if (std::strncmp(fileName + 7, ".bin", 4) != 0) {
    std::printf("Bad device file. (Device 1, 5 or 7 only)\n");
    return 0;
  }
  if (!exists(fileName)) {
    std::printf("File %s doesn't exist.\n", fileName);
    return 0;
  }
  return device;
}

// The extension rule of FPGA, EDID, REMOTE and GAMMA.
bool checkFileWithExtension(const char* fileName, const char* ext, const char* badText) {
  if (!endsWith(fileName, ext)) {
    std::printf("%s", badText);
    return false;
  }
  if (!exists(fileName)) {
    std::printf("File %s doesn't exist.\n", fileName);
    runPause();
    return false;
  }
  return true;
}

struct UpdateFiles {
  char device1Present = 0;
  char device5Present = 0;
  char fpgaPresent = 0;
  char edidPresent = 0;
};

// Mode ALL: which update files lie in the current directory.
UpdateFiles discoverUpdateFiles(int DVITOSDI) {
  UpdateFiles f;
  std::printf("\nLooking for update files ... \n\n");
  std::printf("Device1.bin : ");
  if (exists("Device1.bin")) {
    std::printf("\tYES\n");
    f.device1Present = 1;
  } else {
    std::printf("\tNO\n");
  }
  std::printf("Device5.bin : ");
  if (exists("Device5.bin")) {
    std::printf("\tYES\n");
    f.device5Present = 1;
  } else {
    std::printf("\tNO\n");
  }
  if (f.device1Present) {
    std::printf("SFDriver.bin : ");
    if (exists("SFDriver.bin")) {
      std::printf("\tYES\n");
    } else {
      std::printf("\tNO  (ERROR - You need a driver to update device1.)\n");
      f.device1Present = 0;
    }
  }
  if (f.device5Present) {
    std::printf("FDriver.bin : ");
    if (exists("FDriver.bin")) {
      std::printf("\tYES\n");
    } else {
      std::printf("\tNO  (ERROR - You need a driver to update device5.)\n");
      f.device5Present = 0;
    }
  }
  std::printf("fpga.xsvf : ");
  if (exists("fpga.xsvf")) {
    std::printf("\tYES\n");
    f.fpgaPresent = 1;
  } else {
    std::printf("\tNO\n");
  }
  if (DVITOSDI == 1) {
    std::printf("EDID.bin : ");
    if (exists("EDID.bin")) {
      std::printf("\tYES\n");
      f.edidPresent = 1;
    } else {
      std::printf("\tNO\n");
    }
  }
  return f;
}

int statusOf(Outcome o) { return o == Outcome::Success ? kExitOk : kExitFailed; }

}  // namespace

void caseSensitive(const char* argv, char* data) {
  std::size_t i = 0;
  for (; argv[i] != '\0'; ++i)
    data[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(argv[i])));
  data[i] = '\0';
}

int runUpdater(int argc, char** argv) {
  char argvU[100];
  char fileName[256];
  unsigned short update = 0;
  unsigned short device = 0;
  int devicenumber = 10;
  int DVITOSDI = 0;

  SetPriorityClass(GetCurrentProcess(), 0x80);
  if (argc < 2) return kExitOk;

  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
      std::strcmp(argv[1], "/?") == 0) {
    printHelp();
    return kExitOk;
  }
  if (std::strcmp(argv[1], "--version") == 0) {
    std::printf("updater %d.%d\n", kVersionMajor, kVersionMinor);
    return kExitOk;
  }

  // Arguments that do not fit their buffers are refused, not cut.
  if (std::strlen(argv[1]) >= sizeof argvU || (argc > 2 && std::strlen(argv[2]) >= sizeof argvU) ||
      (argc > 3 && std::strlen(argv[3]) >= sizeof fileName)) {
    printUsage(0);
    return exitPath(kExitRefused);
  }

  caseSensitive(argv[1], argvU);
  if (std::strncmp(argvU, "COM", 3) != 0) {
    std::printf("Must be COMXX\n");
    return exitPath(kExitRefused);
  }

  std::strcpy(lportname, argvU);
  std::snprintf(lfullportname, sizeof lfullportname, "\\\\.\\%s", lportname);
  if (!setUpPort(false)) return exitPath(kExitFailed);

  caseSensitive(argc > 2 ? argv[2] : "", argvU);
  const bool micro = std::strcmp(argvU, "MICRO") == 0;

  if (micro) {
    int status = checkMicroImage();
    if (status != kExitOk) return exitPath(status);
  }

  DWORD nbBytes = probe();
  if (micro && nbBytes == 0) return bootModeBranch();

  do {
    devicenumber = DevType();
  } while (devicenumber == kDevUnknownModel || devicenumber == kDevNoCommunication);

  if (devicenumber == kDevOldFirmware) {
    if (micro) {
      // Completes the old firmware's key sequence: it hands the
      // microcontroller over to the boot program.
      if (writeByte('6')) Sleep(500);
    } else {
      std::printf("\nUnsupported feature...Update the firmware version");
    }
    return exitPath(kExitFailed);
  }
  if (devicenumber < 1 || devicenumber > 6) return exitPath(kExitFailed);

  DVITOSDI = (devicenumber == 1 || devicenumber == 4) ? 1 : 0;
  printBanner(devicenumber);

  const bool fileLess = std::strcmp(argvU, "MICRO") == 0 || std::strcmp(argvU, "ALL") == 0 ||
                        std::strcmp(argvU, "STATUS") == 0;
  if (!(argc >= 4 || (argc == 3 && fileLess))) {
    printUsage(DVITOSDI);
    return exitPath(kExitRefused);
  }

  bool found = false;
  for (const ModeEntry& e : kModeTable) {
    if (e.mode == kEdid && DVITOSDI != 1) continue;
    if (std::strcmp(argvU, e.keyword) == 0) {
      update = e.mode;
      found = true;
      break;
    }
  }
  if (!found) {
    if (DVITOSDI == 1)
      std::printf("Must be FPGA, VIPER, MICRO, EDID, CMD , GAMMA or ALL\n");
    else
      std::printf("Must be FPGA, VIPER, MICRO, CMD, GAMMA or ALL\n");
    return exitPath(kExitRefused);
  }

  fileName[0] = '\0';
  if (argc >= 4) std::strcpy(fileName, argv[3]);

  switch (update) {
    case kFpga:
      if (!checkFileWithExtension(fileName, ".xsvf", "Bad fpga file\n"))
        return exitPath(kExitRefused);
      return exitPath(statusOf(ProgramFPGA(fileName)));
    case kViper:
      device = deviceFromFileName(fileName);
      if (device == 0) return exitPath(kExitRefused);
      return exitPath(statusOf(ProgramViper(device, fileName)));
    case kMicro:
      return exitPath(statusOf(ProgramMicro()));
    case kEdid:
      if (!checkFileWithExtension(fileName, ".bin", "Bad EDID file\n"))
        return exitPath(kExitRefused);
      return exitPath(statusOf(ProgramEDID(fileName)));
    case kAll: {
      UpdateFiles f = discoverUpdateFiles(DVITOSDI);
      if (!f.device1Present && !f.device5Present && !f.fpgaPresent && !f.edidPresent) {
        std::printf("No update available.");
        return exitPath(kExitOk);
      }
      return exitPath(
          statusOf(ProgramALL(f.device1Present, f.device5Present, f.fpgaPresent, f.edidPresent)));
    }
    case kRemote:
      if (!checkFileWithExtension(fileName, ".txt", "Bad REMOTE file\n"))
        return exitPath(kExitRefused);
      return exitPath(statusOf(Remote(fileName)));
    case kVerify: {
      device = deviceFromFileName(fileName);
      if (device == 0) return exitPath(kExitRefused);
      unsigned long mismatches = 0;
      int result = verify(fileName, device, &mismatches);
      return exitPath(result == 0 && mismatches == 0 ? kExitOk : kExitFailed);
    }
    case kStatus:
      return exitPath(statusOf(vxpStatus()));
    case kGamma:
      if (!checkFileWithExtension(fileName, ".csv", "Bad GAMMA file\n"))
        return exitPath(kExitRefused);
      return exitPath(statusOf(ProgramGamma(fileName)));
  }
  return exitPath(kExitFailed);
}
