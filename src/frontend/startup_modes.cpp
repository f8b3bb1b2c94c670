// The modes of a single run: one row each, with the rule its file argument
// follows, and MICRO's checks before anything is sent.
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
#include "platform/scoped_handle.h"


namespace startup {

// Sizes of appMain.mot images known to be bad.
constexpr DWORD kRefusedImageSizes[] = {570422, 570974, 510718, 510526, 511446, 511070};

const ModeEntry kModes[] = {
    {"FPGA", FileRule::kExtension, ".xsvf", "Bad fpga file\n", false,
     [](SerialLink& link, const ModeArguments& arguments) {
       return ProgramFPGA(link, arguments.fileName);
     }},
    {"VIPER", FileRule::kDeviceFile, nullptr, nullptr, false,
     [](SerialLink& link, const ModeArguments& arguments) {
       return ProgramViper(link, arguments.device, arguments.fileName,
                           arguments.verifyAfterWrite, arguments.findings);
     }},
    {"MICRO", FileRule::kNone, nullptr, nullptr, false,
     [](SerialLink& link, const ModeArguments&) { return ProgramMicro(link); }},
    {"EDID", FileRule::kExtension, ".bin", "Bad EDID file\n", true,
     [](SerialLink& link, const ModeArguments& arguments) {
       return ProgramEDID(link, arguments.fileName);
     }},
    {"ALL", FileRule::kUpdateFiles, nullptr, nullptr, false,
     [](SerialLink& link, const ModeArguments& arguments) {
       return ProgramALL(link, arguments.files, arguments.verifyAfterWrite, arguments.findings);
     }},
    {"REMOTE", FileRule::kExtension, ".txt", "Bad REMOTE file\n", false,
     [](SerialLink& link, const ModeArguments& arguments) {
       return Remote(link, arguments.fileName);
     }},
    {"VERIFY", FileRule::kDeviceFile, nullptr, nullptr, false,
     [](SerialLink& link, const ModeArguments& arguments) {
       return ProgramVerify(link, arguments.device, arguments.fileName, arguments.findings);
     }},
    {"STATUS", FileRule::kNone, nullptr, nullptr, false,
     [](SerialLink& link, const ModeArguments&) { return vxpStatus(link); }},
    {"GAMMA", FileRule::kExtension, ".csv", "Bad GAMMA file\n", false,
     [](SerialLink& link, const ModeArguments& arguments) {
       return ProgramGamma(link, arguments.fileName);
     }},
    {"READ", FileRule::kReadBackup, nullptr, nullptr, false,
     [](SerialLink& link, const ModeArguments& arguments) {
       return ProgramRead(link, arguments.device, arguments.readFile, arguments.readBytes,
                          arguments.saved);
     }},
};

bool needsFile(const ModeEntry& mode) {
  return mode.fileRule == FileRule::kExtension || mode.fileRule == FileRule::kDeviceFile ||
         mode.fileRule == FileRule::kReadBackup;
}

bool endsWith(const char* name, const char* ending) {
  const std::size_t nameLength = std::strlen(name), endingLength = std::strlen(ending);
  return nameLength >= endingLength &&
         std::strcmp(name + nameLength - endingLength, ending) == 0;
}

// Size of the file `name`; false when it cannot be opened.  A failed size
// query gives INVALID_FILE_SIZE.
bool sizeOfFile(const char* name, DWORD* size) {
  const ScopedHandle file(CreateFileA(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file.isOpen()) return false;
  *size = GetFileSize(file.get(), nullptr);
  return true;
}

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

std::optional<int> refuseRateChangeOnRawPort(const CommandLine& command, RunReport& report) {
  const PortName port = resolvePortName(command.portName);
  if (!command.micro || port.kind != PortKind::kRawTcp) return std::nullopt;
  std::printf("MICRO cannot run over %s : a raw TCP port cannot change the bit rate. "
              "Use rfc2217://%s:%s on a server that supports RFC 2217.\n",
              port.text.c_str(), port.host.c_str(), port.port.c_str());
  report.stoppedAt("arguments", "MICRO needs a port that can change the bit rate (rfc2217://)");
  return finish(kExitFailed);
}

const ModeEntry* findMode(const char* keyword, const CardIdentity& card) {
  for (const ModeEntry& mode : kModes) {
    if (mode.videoInputOnly && !card.hasVideoInput()) continue;
    if (std::strcmp(keyword, mode.keyword) == 0) return &mode;
  }
  return nullptr;
}

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

}  // namespace startup
