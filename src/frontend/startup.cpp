// Command-line front end: start-up, probe, identification, banner, argument
// checks and dispatch to exactly one mode handler, then the common exit path.
#include "frontend/startup.h"

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

namespace {

constexpr int kVersionMajor = 2;
constexpr int kVersionMinor = 30;

// Sizes of appMain.mot images known to be bad.
constexpr DWORD kRefusedImageSizes[] = {570422, 570974, 510718, 510526, 511446, 511070};

// What the command line asks for.  Arguments that do not fit are refused
// before anything is copied.
struct CommandLine {
  char portName[100] = {};  // upper-cased ("COM7")
  char keyword[100] = {};   // upper-cased mode keyword; empty when missing
  char fileName[256] = {};  // as typed; empty when missing
  bool micro = false;       // the keyword is MICRO
  // READ: the device, the file to write and the byte count (0: all).
  int readDevice = 0;
  char readFile[256] = {};
  unsigned long readBytes = 0;
  RunOptions options;       // --verify, --json, --trace
  bool fineTimer = false;   // the system granted wake-ups on time
};

// What a mode handler is called with, filled by its file rule.
struct ModeArguments {
  const char* fileName = "";
  int device = 0;      // the device-file rule: 1, 5 or 7
  UpdateFiles files;   // the update-file discovery of ALL
  const char* readFile = "";      // READ: the file to write
  unsigned long readBytes = 0;    // READ: bytes to read, 0 for all
  bool verifyAfterWrite = false;  // --verify
  FileDigest* saved = nullptr;    // READ: what the backup holds, once saved
  JobFindings* findings = nullptr;  // what the job learns of its failure
};

enum class FileRule {
  kNone,         // no file argument, none checked (MICRO, STATUS)
  kExtension,    // the name ends in the mode's extension and the file exists
  kDeviceFile,   // "Device", 1, 5 or 7, ".bin", and the file exists
  kUpdateFiles,  // no file argument; the update files of the current folder
  kReadBackup,   // READ N FILE [BYTES], checked before the port is opened
};

int exitStatusOf(Outcome outcome) { return outcome == Outcome::Success ? kExitOk : kExitFailed; }

// One row per mode.  Keywords are compared after upper-casing, in the order
// of the rows; the first match wins.
struct ModeEntry {
  const char* keyword;
  FileRule fileRule;
  const char* extension;    // kExtension: the ending the name must have
  const char* badNameText;  // kExtension: printed for a name without it
  bool videoInputOnly;      // recognised only on models with a DVI or HDMI input
  Outcome (*run)(SerialLink& link, const ModeArguments& arguments);
  int (*exitStatus)(Outcome outcome);
};

const ModeEntry kModes[] = {
    {"FPGA", FileRule::kExtension, ".xsvf", "Bad fpga file\n", false,
     [](SerialLink& link, const ModeArguments& arguments) {
       return ProgramFPGA(link, arguments.fileName);
     },
     exitStatusOf},
    {"VIPER", FileRule::kDeviceFile, nullptr, nullptr, false,
     [](SerialLink& link, const ModeArguments& arguments) {
       return ProgramViper(link, arguments.device, arguments.fileName,
                           arguments.verifyAfterWrite, arguments.findings);
     },
     exitStatusOf},
    {"MICRO", FileRule::kNone, nullptr, nullptr, false,
     [](SerialLink& link, const ModeArguments&) { return ProgramMicro(link); }, exitStatusOf},
    {"EDID", FileRule::kExtension, ".bin", "Bad EDID file\n", true,
     [](SerialLink& link, const ModeArguments& arguments) {
       return ProgramEDID(link, arguments.fileName);
     },
     exitStatusOf},
    {"ALL", FileRule::kUpdateFiles, nullptr, nullptr, false,
     [](SerialLink& link, const ModeArguments& arguments) {
       return ProgramALL(link, arguments.files, arguments.verifyAfterWrite, arguments.findings);
     },
     exitStatusOf},
    {"REMOTE", FileRule::kExtension, ".txt", "Bad REMOTE file\n", false,
     [](SerialLink& link, const ModeArguments& arguments) {
       return Remote(link, arguments.fileName);
     },
     exitStatusOf},
    {"VERIFY", FileRule::kDeviceFile, nullptr, nullptr, false,
     [](SerialLink& link, const ModeArguments& arguments) {
       return ProgramVerify(link, arguments.device, arguments.fileName, arguments.findings);
     },
     exitStatusOf},
    {"STATUS", FileRule::kNone, nullptr, nullptr, false,
     [](SerialLink& link, const ModeArguments&) { return vxpStatus(link); }, exitStatusOf},
    {"GAMMA", FileRule::kExtension, ".csv", "Bad GAMMA file\n", false,
     [](SerialLink& link, const ModeArguments& arguments) {
       return ProgramGamma(link, arguments.fileName);
     },
     exitStatusOf},
    {"READ", FileRule::kReadBackup, nullptr, nullptr, false,
     [](SerialLink& link, const ModeArguments& arguments) {
       return ProgramRead(link, arguments.device, arguments.readFile, arguments.readBytes,
                          arguments.saved);
     },
     exitStatusOf},
};

bool needsFile(const ModeEntry& mode) {
  return mode.fileRule == FileRule::kExtension || mode.fileRule == FileRule::kDeviceFile ||
         mode.fileRule == FileRule::kReadBackup;
}

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

bool endsWith(const char* name, const char* ending) {
  const std::size_t nameLength = std::strlen(name), endingLength = std::strlen(ending);
  return nameLength >= endingLength &&
         std::strcmp(name + nameLength - endingLength, ending) == 0;
}

// The end of every run but the argument-less one and --help/--version.
int finish(int status) {
  std::printf("\nExit updater\n");
  std::fflush(stdout);
  return status;
}

// The common exit path once the port has been opened (or tried).
int exitPath(SerialLink& link, int status) {
  link.close();
  return finish(status);
}

// The port could not be opened or configured.  A device that is missing or
// refused gets hints after the message: the ports there are, or how to
// get access.
int portFailed(SerialLink& link, RunReport& report) {
  const std::string sentence = openFailureText(link.portName(), link.lastError());
  report.stoppedAt("open", !sentence.empty()
                               ? sentence
                               : "the port could not be opened or configured (error " +
                                     std::to_string(link.lastError()) + ")");
  if (!link.isOpen()) printOpenFailureHelp(link.lastError(), link.portName());
  return exitPath(link, kExitFailed);
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

// Reads the command line into `command`.  Returns the exit status when the
// run ends here: after the help or the version text (no exit line), or after
// refusing an overlong argument or a port name that is not a COM port.
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

// Size of the file `name`; false when it cannot be opened.  A failed size
// query gives INVALID_FILE_SIZE.
bool sizeOfFile(const char* name, DWORD* size) {
  HANDLE file = CreateFileA(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  *size = GetFileSize(file, nullptr);
  CloseHandle(file);
  return true;
}

// MICRO checks its files before anything is sent: a missing appMain.mot
// (no message of its own) or one of a known-bad size is refused, and so is
// one that cannot be written as it stands, since a corrupt image must not
// half-write the microcontroller's flash.  Returns the exit status when the
// run ends here.
std::optional<int> checkMicroFilesFirst(const CommandLine& command, RunReport& report) {
  if (!command.micro) return std::nullopt;
  DWORD size = 0;
  // Before it is opened: a pipe would hold the open for ever.
  if (!isRegularFileArgument("appMain.mot", report)) return kExitRefused;
  if (!sizeOfFile("appMain.mot", &size)) {
    report.stoppedAt("file", "appMain.mot cannot be opened");
    return kExitRefused;
  }
  for (DWORD refused : kRefusedImageSizes) {
    if (size == refused) {
      std::printf("Bad appMain.mot file. Exit.\n");
      report.stoppedAt("file", "Bad appMain.mot file");
      return kExitRefused;
    }
  }
  if (!checkMicroFiles()) {
    report.stoppedAt("file", "a boot kernel or appMain.mot cannot be sent as it stands");
    return kExitFailed;
  }
  return std::nullopt;
}

// MICRO changes the bit rate (and so does the boot-mode branch for an old
// firmware), which a raw TCP port cannot carry: refused before the
// connection is made, so that nothing reaches the card.
std::optional<int> refuseRateChangeOnRawPort(const CommandLine& command, RunReport& report) {
  const PortName port = resolvePortName(command.portName);
  if (!command.micro || port.kind != PortKind::kRawTcp) return std::nullopt;
  std::printf("MICRO cannot run over %s : a raw TCP port cannot change the bit rate. "
              "Use rfc2217://%s:%s on a server that supports RFC 2217.\n",
              port.text.c_str(), port.host.c_str(), port.port.c_str());
  report.stoppedAt("arguments", "MICRO needs a port that can change the bit rate (rfc2217://)");
  return finish(kExitFailed);
}

int exitStatusOfFdt(int result) { return result == kFdtDone ? kExitOk : kExitFailed; }

bool switchBaudRate(SerialLink& link, DWORD rate, RunReport& report) {
  if (link.setBaudRate(rate)) return true;
  std::printf("\nERROR");
  report.stoppedAt("mode", "the port refused the bit rate change to " + std::to_string(rate));
  return false;
}

// The boot-mode programmer's result as the run's.
int fdtEnded(SerialLink& link, int result, RunReport& report) {
  link.notef("mode MICRO end: boot-mode programming %s", result == kFdtDone ? "done" : "failed");
  if (result != kFdtDone) report.stoppedAt("mode", "MICRO failed");
  return exitPath(link, exitStatusOfFdt(result));
}

// The card sits in boot mode (or runs a firmware too old to answer the
// probe): program the microcontroller directly.
int bootModeBranch(SerialLink& link, RunReport& report) {
  link.note("mode MICRO start: the line is silent, the card is taken to be in boot mode");
  std::printf("\nFlash is not programmed (BOOT MODE) or using old firmware version");
  Sleep(10);
  if (!switchBaudRate(link, 9600, report)) return exitPath(link, kExitFailed);
  std::printf("\nMICRO Mode OK...Now starting the FDT programm...\n");
  const DWORD begin = GetTickCount();
  const int result = FDT(link, false);
  if (result != kFdtBootSilent) {
    printTime(begin, 0);
    return fdtEnded(link, result, report);
  }

  // Silent boot program: an old firmware may be running.  Its menu keys
  // and the boot key hand the microcontroller over to the boot program.
  link.note("boot program silent: an old firmware may be running; its menu keys follow");
  if (!switchBaudRate(link, 115200, report)) return exitPath(link, kExitFailed);
  if (!sendOldFirmwareBootSequence(link)) {
    report.stoppedAt("mode", "the old firmware's menu keys could not be written");
    return exitPath(link, kExitFailed);
  }
  std::printf(
      "\nYou are using an old firmware...Now programming the FLASH ...\nBe sure to upload the "
      "most recent firmware ");
  if (!switchBaudRate(link, 9600, report)) return exitPath(link, kExitFailed);
  return fdtEnded(link, FDT(link, true), report);
}

bool isModel(int code) { return code >= 1 && code <= 6; }

// The trace's line on the card: "card HDMI TO SDI, variant 2 (PLUS),
// firmware 3.1".
std::string cardNote(int result, const CardIdentity& card) {
  std::string text = "card ";
  if (result == kDevOldFirmware)
    text += "runs an old firmware";
  else
    text += isModel(card.model) ? cardModeName[card.model - 1] : "of unknown model";
  if (card.variant >= 0 && card.variant <= 9)
    text += ", variant " + std::to_string(card.variant) + (card.plus() ? " (PLUS)" : "");
  text += ", firmware ";
  text += card.versionKnown() ? card.firmwareVersion : "unknown";
  return text;
}

// Identifies the card into `card`.  Returns the exit status when the run
// ends here: an old firmware (in MICRO after the key that completes its
// sequence) or an identification that gave up without a model.
std::optional<int> identify(SerialLink& link, const CommandLine& command, CardIdentity* card,
                            RunReport& report) {
  const int result = identifyCard(link, card);
  report.setCard(*card);
  if (link.tracing()) link.note(cardNote(result, *card));
  if (result == kDevOldFirmware) {
    if (command.micro && command.options.dryRun) {
      // The key that completes the sequence would hand the card over.
      std::printf("\nAn old firmware answers: MICRO would hand the microcontroller to its boot "
                  "program and program it.\n");
      report.remark("old firmware: MICRO would hand it over to its boot program");
      return kExitOk;
    }
    if (command.micro) {
      // Completes the old firmware's key sequence: it hands the
      // microcontroller over to the boot program.
      sendOldFirmwareBootKey(link);
      report.stoppedAt("identify",
                       "old firmware: handed over to its boot program; run MICRO again");
    } else {
      std::printf("\nUnsupported feature...Update the firmware version");
      report.stoppedAt("identify", "Unsupported feature...Update the firmware version");
    }
    return kExitFailed;
  }
  if (!isModel(result) || !isModel(card->model)) {
    report.stoppedAt("identify", "the card named no known model");
    return kExitFailed;
  }
  return std::nullopt;
}

void printBanner(const CardIdentity& card) {
  const char* model = cardModeName[card.model - 1];
  std::printf("\r\n* * * * * * * * * * * * * * * * * * * * * * * * * * * * *\n");
  if (card.plus())
    std::printf("\t\t\t\t\t\t\t*%c*\t\t\t%s PLUS\n", 13, model);
  else
    std::printf("\t\t\t\t\t\t\t*%c*\t\t\t%s\n", 13, model);
  std::printf("*\t\t\t\t\t\t\t*\n");
  std::printf("\t\t\t\t\t\t\t*%c*\tUpdater Version   -> %d.%d\n", 13, kVersionMajor,
              kVersionMinor);
  std::printf("*\t\t\t\t\t\t\t*\n");
  if (card.versionKnown())
    std::printf("\t\t\t\t\t\t\t*%c*\tSoftware Version  -> %s\n", 13, card.firmwareVersion);
  else
    std::printf("\t\t\t\t\t\t\t*%c*\tSoftware Version  -> Unknown\n", 13);
  std::printf("* * * * * * * * * * * * * * * * * * * * * * * * * * * * *\n");
}

// The row of `keyword`, or nullptr.  EDID is known only to models that take
// an EDID; on the others the word is refused like any unknown keyword.
const ModeEntry* findMode(const char* keyword, const CardIdentity& card) {
  for (const ModeEntry& mode : kModes) {
    if (mode.videoInputOnly && !card.hasVideoInput()) continue;
    if (std::strcmp(keyword, mode.keyword) == 0) return &mode;
  }
  return nullptr;
}

// The argument count, then the keyword.  A file argument is needed unless
// the mode takes none; arguments after it are ignored.  Returns the exit
// status when the run ends here.
std::optional<int> checkArguments(int argc, const ModeEntry* mode, const CardIdentity& card,
                                  RunReport& report) {
  if (!(argc >= 4 || (argc == 3 && mode != nullptr && !needsFile(*mode)))) {
    printUsage(card.hasVideoInput());
    report.stoppedAt("arguments", argc < 3 ? "no mode given" : "the mode needs a file argument");
    return kExitRefused;
  }
  if (mode == nullptr) {
    printKeywordError(card.hasVideoInput());
    report.stoppedAt("arguments", "unknown mode for this card");
    return kExitRefused;
  }
  return std::nullopt;
}

// The device-file rule of VIPER and VERIFY: "Device", a digit 1, 5 or 7,
// ".bin" (what follows is not examined), and the file must exist.  Returns
// the device number, or 0 after printing the refusal.
int deviceFromFileName(const char* fileName, RunReport& report) {
  if (std::strncmp(fileName, "Device", 6) != 0) {
    std::printf("Bad device file. (Device 1 or 5 only)\n");
    hintForBadDeviceFile(fileName);
    report.stoppedAt("file", "Bad device file");
    return 0;
  }
  int device = 0;
  switch (fileName[6]) {
    case '1': device = 1; break;
    case '5': device = 5; break;
    case '7': device = 7; break;
    default:
      std::printf("Bad device file. (Device 1,5  or 7 only)\n");
      hintForBadDeviceFile(fileName);
      report.stoppedAt("file", "Bad device file");
      return 0;
  }
  if (std::strncmp(fileName + 7, ".bin", 4) != 0) {
    std::printf("Bad device file. (Device 1, 5 or 7 only)\n");
    hintForBadDeviceFile(fileName);
    report.stoppedAt("file", "Bad device file");
    return 0;
  }
  if (!exists(fileName)) {
    std::printf("File %s doesn't exist.\n", fileName);
    hintForMissingFile(fileName);
    report.stoppedAt("file", "the file doesn't exist");
    return 0;
  }
  if (!isRegularFileArgument(fileName, report)) return 0;
  return device;
}

// The extension rule of FPGA, EDID, REMOTE and GAMMA.  A missing file waits
// for the operator before the run ends.
bool checkFileWithExtension(const char* fileName, const char* extension, const char* badText,
                            RunReport& report) {
  if (!endsWith(fileName, extension)) {
    std::printf("%s", badText);
    report.stoppedAt("file", std::string("the file name must end in ") + extension);
    return false;
  }
  if (!exists(fileName)) {
    std::printf("File %s doesn't exist.\n", fileName);
    hintForMissingFile(fileName);
    report.stoppedAt("file", "the file doesn't exist");
    runPause();
    return false;
  }
  return isRegularFileArgument(fileName, report);
}

// Prints "name : " and whether the file is there.
bool lookFor(const char* name, const char* missingText = "\tNO\n") {
  std::printf("%s : ", name);
  const bool found = exists(name);
  std::printf("%s", found ? "\tYES\n" : missingText);
  return found;
}

// Mode ALL: which update files lie in the current folder.  A flash image
// counts only with its ISP driver; device 7 is not looked for.
UpdateFiles discoverUpdateFiles(bool takesEdid) {
  UpdateFiles files;
  std::printf("\nLooking for update files ... \n\n");
  files.device1 = lookFor("Device1.bin");
  files.device5 = lookFor("Device5.bin");
  if (files.device1)
    files.device1 =
        lookFor("SFDriver.bin", "\tNO  (ERROR - You need a driver to update device1.)\n");
  if (files.device5)
    files.device5 =
        lookFor("FDriver.bin", "\tNO  (ERROR - You need a driver to update device5.)\n");
  files.fpga = lookFor("fpga.xsvf");
  if (takesEdid) files.edid = lookFor("EDID.bin");
  return files;
}

// Checks the file argument by the mode's rule and fills `arguments`.
// Returns the exit status when the run ends here.
std::optional<int> applyFileRule(const ModeEntry& mode, const CommandLine& command,
                                 const CardIdentity& card, ModeArguments* arguments,
                                 RunReport& report) {
  arguments->fileName = command.fileName;
  switch (mode.fileRule) {
    case FileRule::kNone:
      return std::nullopt;
    case FileRule::kExtension:
      if (!checkFileWithExtension(command.fileName, mode.extension, mode.badNameText, report))
        return kExitRefused;
      return std::nullopt;
    case FileRule::kDeviceFile:
      arguments->device = deviceFromFileName(command.fileName, report);
      if (arguments->device == 0) return kExitRefused;
      return std::nullopt;
    case FileRule::kReadBackup:
      arguments->device = command.readDevice;
      arguments->readFile = command.readFile;
      arguments->readBytes = command.readBytes;
      return std::nullopt;
    case FileRule::kUpdateFiles: {
      arguments->files = discoverUpdateFiles(card.hasVideoInput());
      const UpdateFiles& found = arguments->files;
      if (!found.device1 && !found.device5 && !found.fpga && !found.edid) {
        std::printf("No update available.");
        report.remark("No update available.");
        return kExitOk;  // nothing to do is no failure
      }
      if (!updateFilesAreRegular(found, report)) return kExitFailed;
      return std::nullopt;
    }
  }
  return kExitFailed;
}

std::string versionText() {
  return std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor);
}

// --trace FILE: made before the port is opened, and a file that cannot be
// made ends the run there.  Its first lines say what ran and on which
// port; the card's identity follows once it is known.
std::optional<int> startTrace(const CommandLine& command, TraceLog& trace, RunReport& report) {
  const std::string& path = command.options.traceFile;
  if (path.empty()) return std::nullopt;
  std::string why;
  if (TraceLog::mayReplace(path, &why))
    why = traceClash(command.keyword, command.fileName, command.readFile, path);
  if (!why.empty() || !trace.open(path, &why)) {
    std::printf("Cannot create the trace file %s: %s\n", printable(path).c_str(), why.c_str());
    report.stoppedAt("trace", "cannot create the trace file: " + why);
    return finish(kExitRefused);
  }
  trace.note("updater " + versionText());
  trace.note("command line: " + command.options.commandLine);
  std::string device = platform::portAccess(command.portName).device;
  if (device.empty()) device = std::string("\\\\.\\") + command.portName;
  if (resolvePortName(command.portName).network()) device = "console server";
  trace.note(std::string("port ") + command.portName + " (" + device + ")");
  trace.note(command.fineTimer ? "fine timer: granted"
                               : "fine timer: refused, waits may last a system tick longer");
  return std::nullopt;
}

// One mode, between its notes in the trace; a failing mode is where the
// run stopped, or the step of it that the job names.
int runMode(SerialLink& link, const ModeEntry& mode, ModeArguments arguments,
            RunReport& report) {
  JobFindings findings;
  arguments.findings = &findings;
  link.notef("mode %s start", mode.keyword);
  const Outcome outcome = mode.run(link, arguments);
  const int status = mode.exitStatus(outcome);
  link.notef("mode %s end: %s", mode.keyword, outcome == Outcome::Success ? "success" : "failure");
  if (findings.compared)
    report.setComparison(findings.mismatches.count,
                         findings.mismatches.listed > 0 ? findings.mismatches.first[0] : -1L);
  if (status != kExitOk) {
    const std::string step = findings.failedStep.empty() ? "mode" : findings.failedStep;
    std::string why = std::string(mode.keyword) + " failed";
    if (findings.compared && findings.mismatches.listed > 0) {
      char first[16];
      std::snprintf(first, sizeof first, "0x%06lX",
                    static_cast<unsigned long>(findings.mismatches.first[0]));
      why += ": " + std::to_string(findings.mismatches.count) + " words differ, the first at " +
             first;
    }
    report.stoppedAt(step.c_str(), why);
  }
  return status;
}

// --dry-run in place of the mode: the mode's files checked and its work
// described, nothing sent that changes the card.
int runDryRun(const ModeEntry& mode, const ModeArguments& arguments, RunReport& report) {
  DryRunRequest request;
  request.mode = mode.keyword;
  request.fileName = arguments.fileName;
  request.device = arguments.device;
  request.files = arguments.files;
  request.readBytes = arguments.readBytes;
  request.verifyAfterWrite = arguments.verifyAfterWrite;
  if (dryRun(request) == Outcome::Success) return kExitOk;
  report.stoppedAt("file", std::string(mode.keyword) + " could not start as it stands");
  return kExitFailed;
}

// The run, one line per step.  Returns the exit status.
int runSteps(int argc, char** argv, bool optionsWellFormed, CommandLine* command,
             TraceLog& trace, RunReport& report) {
  if (!optionsWellFormed) {
    printUsage(false);
    report.stoppedAt("arguments", "--trace needs a file name");
    return finish(kExitRefused);
  }
  if (argc < 2) return kExitOk;
  std::string unknownOptionText;
  if (refuseUnknownOption(argc, argv, &unknownOptionText)) {
    report.stoppedAt("arguments", unknownOptionText);
    return finish(kExitRefused);
  }
  if (std::optional<int> status = readCommandLine(argc, argv, command, report)) return *status;
  if (std::optional<int> status = startTrace(*command, trace, report)) return *status;
  if (std::optional<int> status = refuseRateChangeOnRawPort(*command, report)) return *status;
  SerialLink link(command->portName);
  if (trace.isOpen()) link.setTrace(&trace);
  report.atStep("open");
  if (!link.open()) return portFailed(link, report);
  report.atStep("identify");
  if (std::optional<int> status = checkMicroFilesFirst(*command, report))
    return exitPath(link, *status);
  const bool lineSilent = probe(link) == 0;
  if (command->micro && lineSilent && command->options.dryRun) {
    std::printf("\nThe card is silent: it is taken to be in its boot mode.\n");
    ModeArguments arguments;
    return exitPath(link, runDryRun(*findMode("MICRO", CardIdentity{}), arguments, report));
  }
  if (command->micro && lineSilent) {
    report.atStep("mode");
    digestFileToUse(command->keyword, command->fileName, report);
    return bootModeBranch(link, report);
  }
  CardIdentity card;
  if (std::optional<int> status = identify(link, *command, &card, report))
    return exitPath(link, *status);
  printBanner(card);
  const ModeEntry* mode = findMode(command->keyword, card);
  if (std::optional<int> status = checkArguments(argc, mode, card, report))
    return exitPath(link, *status);
  ModeArguments arguments;
  arguments.verifyAfterWrite = command->options.verifyAfterWrite;
  if (std::optional<int> status = applyFileRule(*mode, *command, card, &arguments, report))
    return exitPath(link, *status);
  if (command->options.dryRun) return exitPath(link, runDryRun(*mode, arguments, report));
  FileDigest saved;
  arguments.saved = &saved;
  report.atStep("mode");
  digestFileToUse(command->keyword, command->fileName, report);
  const int status = runMode(link, *mode, arguments, report);
  if (saved.known) report.setFileDigest(saved);
  return exitPath(link, status);
}

// The trace's last line, and with --json the result as the run's last line.
void endRecords(const RunOptions& options, int status, TraceLog& trace, const RunReport& report) {
  if (trace.isOpen()) {
    std::string text = "run ended: exit status " + std::to_string(status);
    if (status != kExitOk && !report.step().empty())
      text += ", stopped at " + report.step() + ": " + report.message();
    trace.note(text);
  }
  if (options.json) {
    std::fputs((report.json(status) + "\n").c_str(), stdout);
    std::fflush(stdout);
  }
}

// What Ctrl-C leaves: the trace's last line and, with --json, the result.
void keepInterruptEndingUpToDate(const RunOptions& options, const TraceLog& trace,
                                 const RunReport& report, platform::InterruptEnding& ending) {
  std::string note = "run ended: exit status 130";
  if (!report.currentStep().empty()) note += ", stopped at " + report.currentStep();
  note += ": interrupted (Ctrl-C)";
  std::string head, tail;
  if (options.json) report.interruptedJson(&head, &tail);
  ending.set(platform::descriptorOf(trace.file()), trace.started(), note, head, report.start(),
             tail);
}

}  // namespace

void caseSensitive(const char* argv, char* data) {
  std::size_t i = 0;
  for (; argv[i] != '\0'; ++i)
    data[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(argv[i])));
  data[i] = '\0';
}

int runUpdater(int argc, char** argv) {
  // Several ports ("COM3,COM4"): one child updater per port.
  if (isFleetCommandLine(argc, argv)) return runFleet(argc, argv);
  // A scheduling hint: when it is refused the run goes on at normal priority.
  SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
  if (argc < 2) return kExitOk;  // nothing printed, no port opened

  const FineTimer fineTimer;
  CommandLine command;
  command.fineTimer = fineTimer.granted();
  const bool optionsWellFormed = takeRunOptions(&argc, argv, &command.options);
  // The run owns its trace and its result; the link borrows the trace.
  TraceLog trace;
  RunReport report(versionText());
  int status = kExitOk;
  {
    // Ctrl-C ends the run with its last lines until the run writes them.
    platform::InterruptEnding interruptEnding;
    report.onChange([&] {
      keepInterruptEndingUpToDate(command.options, trace, report, interruptEnding);
    });
    status = runSteps(argc, argv, optionsWellFormed, &command, trace, report);
    report.onChange(nullptr);
  }
  endRecords(command.options, status, trace, report);
  return status;
}
