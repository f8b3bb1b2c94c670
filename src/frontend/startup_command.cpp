// The command line of a single run: its help and version, the port and
// mode read from it, and READ's arguments checked before the port opens.
#include "frontend/startup_parts.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "boot/fdt.h"
#include "boot/image_check.h"
#include "common/elapsed.h"
#include "common/outcome.h"
#include "common/printable.h"
#include "common/ticks.h"
#include "frontend/fleet.h"
#include "frontend/hints.h"
#include "frontend/option_check.h"
#include "frontend/port_list_command.h"
#include "frontend/run_files.h"
#include "frontend/run_options.h"
#include "frontend/run_report.h"
#include "jobs/flash_job.h"
#include "jobs/dry_run.h"
#include "jobs/job_findings.h"
#include "jobs/modes.h"
#include "link/boot_entry.h"
#include "link/command_channel.h"
#include "link/identification.h"
#include "link/port_name.h"
#include "link/serial_link.h"
#include "link/trace_log.h"
#include "platform/files.h"
#include "platform/interrupt_ending.h"


namespace startup {

void printUsage(bool takesEdid) {
  std::printf("Error: Usage is\n");
  std::printf("  updater [COMXX] [FPGA/VIPER] Filename.xxx\n");
  std::printf("e.g. updater COM1 FPGA fpga.xsvf\n");
  std::printf("e.g. updater COM1 VIPER Device5.bin\n");
  std::printf("e.g. updater COM1 MICRO\n");
  if (takesEdid)
    std::printf("e.g. updater COM1 EDID\n");
  else
    std::printf("e.g. updater COM1 ALL\n");
}

void printKeywordError(bool takesEdid) {
  if (takesEdid)
    std::printf("Must be FPGA, VIPER, MICRO, EDID, CMD , GAMMA or ALL\n");
  else
    std::printf("Must be FPGA, VIPER, MICRO, CMD, GAMMA or ALL\n");
}

void printHelp() {
  std::printf(
      "updater %d.%d - firmware updater for DVI/HDMI <-> SDI converter cards\n"
      "\n"
      "Usage: updater COMxx MODE [file]\n"
      "       updater COMa,COMb,... MODE [file]   the same mode on several cards at once\n"
      "       updater --list      show the serial ports and which are in use\n"
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
      "  READ   N file [bytes] read flash device N (1, 5 or 7) into a new file\n"
      "\n"
      "Options (anywhere on the line):\n"
      "  --verify             VIPER, ALL: read each written flash device back and compare\n"
      "  --trace FILE         record every byte on the line, with times, into FILE\n"
      "  --json               end with one line of JSON describing the run\n"
      "  --dry-run            identify the card, check the mode's files and tell what the\n"
      "                       run would do and how long it would take; send nothing that\n"
      "                       changes the card\n"
      "  --list               alone: show the serial ports and which are in use\n"
      "  --help, --version    alone: this text, or the version\n"
      "Any other argument that begins with -- is refused.\n"
      "\n"
      "Ports: COMn is \\\\.\\COMn on Windows.  Elsewhere COMn is /dev/ttyS<n-1>,\n"
      "COMUSBn is /dev/ttyUSBn and COMACMn is /dev/ttyACMn; the environment variable\n"
      "UPDATER_PORT_<NAME> (for example UPDATER_PORT_COM7=/dev/pts/3) overrides this.\n"
      "On Linux a device path (/dev/ttyUSB0) works too.  A card behind a console\n"
      "server: rfc2217://HOST:PORT (RFC 2217, every mode) or socket://HOST:PORT\n"
      "(raw TCP, every mode but MICRO).\n"
      "\n"
      "Exit status: 0 when the run did what was asked, 1 when the operation or the\n"
      "port failed, 2 when the command line or a file argument was refused, 130 after\n"
      "Ctrl-C.  Advice beyond the messages goes to standard error, on lines that\n"
      "begin with \"hint: \".\n",
      kVersionMajor, kVersionMinor);
}

bool exists(const char* name) { return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES; }

int finish(int status) {
  std::printf("\nExit updater\n");
  std::fflush(stdout);
  return status;
}

// What the JSON result says of the command line: the port, the mode and
// the file the mode works on (MICRO's is always appMain.mot; STATUS and
// ALL take none).
void describeRun(const CommandLine& command, RunReport& report) {
  report.setPort(command.portName);
  report.setMode(command.keyword);
  if (command.micro)
    report.setFile("appMain.mot");
  else if (std::strcmp(command.keyword, "STATUS") != 0 && std::strcmp(command.keyword, "ALL") != 0)
    report.setFile(command.fileName);
}

// READ N FILE [BYTES]: a flash device, a file that must not exist yet, and
// a byte count.  Refused before the port is opened, so that a backup never
// overwrites a file.
std::optional<int> readBackupArguments(int argc, char** argv, CommandLine* command,
                                       RunReport& report) {
  if (argc < 5 || std::strlen(argv[4]) >= sizeof command->readFile) {
    std::printf("Error: Usage is\n  updater COMXX READ 1|5|7 File.bin [bytes]\n");
    report.stoppedAt("arguments", "READ takes a device (1, 5 or 7) and a file name");
    return finish(kExitRefused);
  }
  const char* device = argv[3];
  if (!(device[1] == '\0' && (device[0] == '1' || device[0] == '5' || device[0] == '7'))) {
    std::printf("Bad device number %s. (Device 1, 5 or 7 only)\n", device);
    report.stoppedAt("arguments", "bad device number (1, 5 or 7 only)");
    return finish(kExitRefused);
  }
  command->readDevice = device[0] - '0';
  std::strcpy(command->readFile, argv[4]);
  if (exists(command->readFile) || platform::isSymbolicLink(command->readFile)) {
    std::printf("File %s already exists: READ does not overwrite a file.\n",
                printable(command->readFile).c_str());
    report.stoppedAt("file", "the file already exists");
    return finish(kExitRefused);
  }
  if (argc > 5) {
    const char* count = argv[5];
    char* end = nullptr;
    const unsigned long bytes = std::strtoul(count, &end, 10);
    const unsigned long most = flashDeviceSize(command->readDevice);
    if (count[0] < '0' || count[0] > '9' || *end != '\0' || bytes == 0 || bytes > most) {
      std::printf("Bad byte count %s. (1 to %lu)\n", count, most);
      report.stoppedAt("arguments", "bad byte count (1 to " + std::to_string(most) + ")");
      return finish(kExitRefused);
    }
    command->readBytes = bytes;
  }
  if (std::optional<int> status = refuseStalePartThatIsNotAFile(command->readFile, report))
    return finish(*status);
  return std::nullopt;
}

std::optional<int> readCommandLine(int argc, char** argv, CommandLine* command,
                                   RunReport& report) {
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
      std::strcmp(argv[1], "/?") == 0) {
    printHelp();
    return kExitOk;
  }
  if (std::strcmp(argv[1], "--version") == 0) {
    std::printf("updater %d.%d\n", kVersionMajor, kVersionMinor);
    return kExitOk;
  }
  if (std::strcmp(argv[1], "--list") == 0) return listSerialPortsCommand();
  // Arguments that do not fit their buffers are refused, not cut.
  if (std::strlen(argv[1]) >= sizeof command->portName ||
      (argc > 2 && std::strlen(argv[2]) >= sizeof command->keyword) ||
      (argc > 3 && std::strlen(argv[3]) >= sizeof command->fileName)) {
    printUsage(false);
    report.stoppedAt("arguments", "an argument is too long");
    return finish(kExitRefused);
  }
  caseSensitive(argv[1], command->portName);
  // A network form or a device path keeps its case (host names, paths).
  const PortName port = parsePortName(argv[1]);
  if (port.kind != PortKind::kComPort && port.kind != PortKind::kNotAPort)
    std::snprintf(command->portName, sizeof command->portName, "%s", port.text.c_str());
  caseSensitive(argc > 2 ? argv[2] : "", command->keyword);
  if (argc > 3) std::strcpy(command->fileName, argv[3]);
  command->micro = std::strcmp(command->keyword, "MICRO") == 0;
  describeRun(*command, report);
  if (port.kind == PortKind::kBadNetwork) {
    std::fputs(badNetworkPortText(argv[1]).c_str(), stdout);
    report.stoppedAt("arguments", "the network port is not HOST:PORT");
    return finish(kExitRefused);
  }
  if (port.kind == PortKind::kNotAPort) {
    std::printf("Must be COMXX\n");
    report.stoppedAt("arguments", "the port must be COMxx");
    return finish(kExitRefused);
  }
  if (std::strcmp(command->keyword, "READ") == 0) {
    const std::optional<int> status = readBackupArguments(argc, argv, command, report);
    report.setFile(command->readFile);
    return status;
  }
  return std::nullopt;
}

std::string versionText() {
  return std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor);
}

}  // namespace startup
