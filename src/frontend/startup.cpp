// Command-line front end: start-up, probe, identification, banner, argument
// checks and dispatch to exactly one mode handler, then the common exit path.
#include "frontend/startup.h"
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
#include "frontend/progress_report.h"
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
#include "link/network_port.h"
#include "link/port_name.h"
#include "link/serial_link.h"
#include "link/trace_log.h"
#include "platform/child_process.h"
#include "platform/files.h"
#include "platform/interrupt_ending.h"
#include "util/util.h"

namespace startup {

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

int exitStatusOfFdt(FdtResult result) {
  return result == FdtResult::kDone ? kExitOk : kExitFailed;
}

bool switchBaudRate(SerialLink& link, DWORD rate, RunReport& report) {
  if (link.setBaudRate(rate)) return true;
  std::printf("\nERROR");
  report.stoppedAt("mode", "the port refused the bit rate change to " + std::to_string(rate));
  return false;
}

// The boot-mode programmer's result as the run's.
int fdtEnded(SerialLink& link, FdtResult result, RunReport& report) {
  link.notef("mode MICRO end: boot-mode programming %s",
             result == FdtResult::kDone ? "done" : "failed");
  if (result != FdtResult::kDone) report.stoppedAt("mode", "MICRO failed");
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
  const FdtResult result = FDT(link, false);
  if (result != FdtResult::kBootSilent) {
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
std::string cardNote(DevTypeResult result, const CardIdentity& card) {
  std::string text = "card ";
  if (result == DevTypeResult::kOldFirmware)
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
  const DevTypeResult result = identifyCard(link, card);
  if (result == DevTypeResult::kPortLost) {  // said on the console as it happened
    report.stoppedAt("identify", link.network()->failure());
    return kExitFailed;
  }
  report.setCard(*card);
  if (link.tracing()) link.note(cardNote(result, *card));
  if (result == DevTypeResult::kOldFirmware) {
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
  if (result != DevTypeResult::kModel || !isModel(card->model)) {
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
  const int status = outcome == Outcome::Success ? kExitOk : kExitFailed;
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

// The run, one line per step.  Returns the exit status.  `progress`, when
// not null, hears the jobs' progress lines.
int runSteps(int argc, char** argv, bool optionsWellFormed, CommandLine* command,
             TraceLog& trace, RunReport& report, ProgressSink* progress) {
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
  link.setProgressSink(progress);
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

// The trace's last line, and with --json the result as the run's last line
// (in a fleet's child, on the report channel instead).
void endRecords(const RunOptions& options, int status, TraceLog& trace, const RunReport& report,
                platform::ReportChannel& channel) {
  if (trace.isOpen()) {
    std::string text = "run ended: exit status " + std::to_string(status);
    if (status != kExitOk && !report.step().empty())
      text += ", stopped at " + report.step() + ": " + report.message();
    trace.note(text);
  }
  if (channel.isOpen()) {
    channel.writeLine(report.json(status));
  } else if (options.json) {
    std::fputs((report.json(status) + "\n").c_str(), stdout);
    std::fflush(stdout);
  }
}

// What Ctrl-C leaves: the trace's last line and, with --json, the result.
void keepInterruptEndingUpToDate(const RunOptions& options, const TraceLog& trace,
                                 const RunReport& report, platform::ReportChannel& channel,
                                 platform::InterruptEnding& ending) {
  std::string note = "run ended: exit status 130";
  if (!report.currentStep().empty()) note += ", stopped at " + report.currentStep();
  note += ": interrupted (Ctrl-C)";
  std::string head, tail;
  // A fleet's child has no result on its console: its parent stands in.
  if (options.json && !channel.isOpen()) report.interruptedJson(&head, &tail);
  ending.set(platform::descriptorOf(trace.file()), trace.started(), note, head, report.start(),
             tail);
}

}  // namespace startup

void caseSensitive(const char* argv, char* data) {
  const std::string upper = upperCase(argv);
  std::memcpy(data, upper.c_str(), upper.size() + 1);
}

int runUpdater(int argc, char** argv) {
  // Several ports ("COM3,COM4"): one child updater per port.
  if (isFleetCommandLine(argc, argv)) return runFleet(argc, argv);
  // A scheduling hint: when it is refused the run goes on at normal priority.
  SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
  if (argc < 2) return kExitOk;  // nothing printed, no port opened

  const FineTimer fineTimer;
  startup::CommandLine command;
  command.fineTimer = fineTimer.granted();
  const bool optionsWellFormed = takeRunOptions(&argc, argv, &command.options);
  // The run owns its trace and its result; the link borrows the trace.
  TraceLog trace;
  RunReport report(startup::versionText());
  // In a fleet's child: what the run learns goes to the parent as well.
  platform::ReportChannel channel;
  std::string cardReported = RunReport(std::string()).cardJson();
  ProgressReport progress([&channel](const std::string& line) { channel.writeLine(line); });
  int status = kExitOk;
  {
    // Ctrl-C ends the run with its last lines until the run writes them.
    platform::InterruptEnding interruptEnding;
    report.onChange([&] {
      startup::keepInterruptEndingUpToDate(command.options, trace, report, channel,
                                           interruptEnding);
      if (channel.isOpen() && report.cardJson() != cardReported) {
        cardReported = report.cardJson();
        channel.writeLine(cardReported);
      }
    });
    status = startup::runSteps(argc, argv, optionsWellFormed, &command, trace, report,
                               channel.isOpen() ? &progress : nullptr);
    report.onChange(nullptr);
  }
  startup::endRecords(command.options, status, trace, report, channel);
  return status;
}
