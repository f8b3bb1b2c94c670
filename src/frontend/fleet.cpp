// The parent of a run over several ports: starts one child updater per
// port, shows their output under the port's name, and sums them up.
#include "frontend/fleet.h"
#include "frontend/fleet_children.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/json_writer.h"
#include "common/printable.h"
#include "frontend/run_files.h"
#include "frontend/run_report.h"
#include "frontend/run_options.h"
#include "frontend/startup.h"
#include "link/identification.h"
#include "link/port_name.h"
#include "platform/child_process.h"
#include "platform/port_list.h"
#include "platform/win32.h"
#include "util/util.h"


namespace fleet {
namespace {

std::vector<std::string> splitAtCommas(const std::string& argument) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  for (;;) {
    const std::size_t comma = argument.find(',', from);
    parts.push_back(argument.substr(from, comma - from));
    if (comma == std::string::npos) return parts;
    from = comma + 1;
  }
}

std::string trimmed(std::string_view text, const char* blanks) {
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return std::string();
  const std::size_t last = text.find_last_not_of(blanks);
  return std::string(text.substr(first, last - first + 1));
}

}  // namespace

bool splitPortList(const std::string& argument, std::vector<std::string>* ports,
                   std::string* refusal) {
  ports->clear();
  for (const std::string& part : splitAtCommas(argument)) {
    const PortName name = parsePortName(part);
    const std::string port = name.text;
    if (name.kind == PortKind::kBadNetwork) {
      *refusal = badNetworkPortText(part);
      return false;
    }
    if (name.kind == PortKind::kNotAPort) {
      *refusal = "Must be COMXX\n";
      return false;
    }
    if (std::find(ports->begin(), ports->end(), port) != ports->end()) {
      *refusal = "Port " + port + " is listed twice.\n";
      return false;
    }
    ports->push_back(port);
  }
  return true;
}

bool refuseOnePortTwice(const std::vector<std::string>& ports, std::string* refusal) {
  // On Windows a port is known by its name alone (looking at the device
  // would open it); elsewhere by the device node the name leads to.
  std::vector<std::string> devices;
  for (const std::string& port : ports) devices.push_back(platform::portAccess(port).device);
  for (std::size_t i = 0; i < ports.size(); ++i) {
    for (std::size_t k = i + 1; k < ports.size(); ++k) {
      if (devices[i].empty() || devices[k].empty() || !sameFile(devices[i], devices[k]))
        continue;
      *refusal = "Ports " + ports[i] + " and " + ports[k] + " are the same device (" +
                 printable(devices[i]) + ").\n";
      return true;
    }
  }
  return false;
}

// The port as a piece of a file name: a network form or a device path has
// slashes and colons ("rfc2217://rack1:4001" gives "rfc2217-rack1-4001").
std::string portTag(const std::string& port) {
  std::string tag;
  for (char c : port) {
    const bool plain = std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_';
    if (plain)
      tag += c;
    else if (!tag.empty() && tag.back() != '-')
      tag += '-';
  }
  return tag;
}

std::string perPortFileName(const std::string& name, const std::string& typedPort) {
  const std::string port = portTag(typedPort);
  const std::size_t base = name.find_last_of("/\\");
  const std::size_t baseStart = base == std::string::npos ? 0 : base + 1;
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot <= baseStart) return name + "-" + port;
  return name.substr(0, dot) + "-" + port + name.substr(dot);
}

std::vector<std::string> childArguments(const std::vector<std::string>& args,
                                        const std::vector<std::size_t>& positional,
                                        const std::string& port) {
  std::vector<std::string> child = args;
  child[positional[0]] = port;
  // READ N FILE: each card's backup goes to a file of its own.
  if (positional.size() > 3 && upperCase(args[positional[1]]) == "READ")
    child[positional[3]] = perPortFileName(args[positional[3]], port);
  bool json = false;
  for (std::size_t i = 1; i < child.size(); ++i) {
    if (std::find(positional.begin(), positional.end(), i) != positional.end()) continue;
    if (child[i] == "--json") json = true;
    if (child[i] == "--trace" && i + 1 < child.size()) {
      child[i + 1] = perPortFileName(child[i + 1], port);
      ++i;
    } else if (child[i].compare(0, 8, "--trace=") == 0) {
      child[i] = "--trace=" + perPortFileName(child[i].substr(8), port);
    }
  }
  if (!json) child.push_back("--json");
  return child;
}

}  // namespace fleet

namespace {

// The indices in argv of the arguments that are not options, found by the
// same rules as in a single run.  False when an option is malformed.
bool positionalArguments(int argc, char** argv, std::vector<std::size_t>* positional,
                         RunOptions* options) {
  std::vector<char*> copy(argv, argv + argc);
  copy.push_back(nullptr);
  int kept = argc;
  if (!takeRunOptions(&kept, copy.data(), options)) return false;
  std::size_t from = 1;
  for (int k = 1; k < kept; ++k) {
    for (std::size_t i = from; i < static_cast<std::size_t>(argc); ++i) {
      if (argv[i] == copy[static_cast<std::size_t>(k)]) {
        positional->push_back(i);
        from = i + 1;
        break;
      }
    }
  }
  return true;
}

// The port list is refused before anything starts: one object per listed
// name, each refused.
std::string refusedResults(const std::string& argument, const std::string& refusal) {
  Json json = Json::array();
  for (const std::string& part : fleet::splitAtCommas(argument)) {
    Json port = Json::object();
    port["port"] = upperCase(part);
    port["outcome"] = outcomeOf(kExitRefused);
    port["exit_status"] = static_cast<int>(kExitRefused);
    port["failed_step"] = "arguments";
    port["message"] = fleet::trimmed(refusal, "\n");
    json.push_back(std::move(port));
  }
  return jsonText(json);
}

}  // namespace

bool isFleetCommandLine(int argc, char** argv) {
  std::vector<std::size_t> positional;
  RunOptions options;
  if (argc < 2 || !positionalArguments(argc, argv, &positional, &options)) return false;
  return !positional.empty() && std::strchr(argv[positional[0]], ',') != nullptr;
}

int runFleet(int argc, char** argv) {
  return runFleet(argc, argv, platform::ownExecutable(argv[0]));
}

int runFleet(int argc, char** argv, const std::string& program) {
  std::vector<std::size_t> positional;
  RunOptions options;
  positionalArguments(argc, argv, &positional, &options);
  const std::vector<std::string> args(argv, argv + argc);
  const std::string& portArgument = args[positional[0]];
  std::vector<std::string> ports;
  std::string refusal;
  if (!fleet::splitPortList(portArgument, &ports, &refusal) ||
      fleet::refuseOnePortTwice(ports, &refusal)) {
    std::printf("%s\nExit updater\n", refusal.c_str());
    if (options.json) std::printf("%s\n", refusedResults(portArgument, refusal).c_str());
    std::fflush(stdout);
    return kExitRefused;
  }
  int interruptStatus = 0;
  std::vector<fleet::PortResult> results;
  std::vector<int> statuses;
  std::string json;
  {
    platform::StatusConsole console;
    // The status block must fit on the screen to be redrawn.
    const bool redraw = console.redraws() && static_cast<int>(ports.size()) < console.rows() - 1;
    const fleet::ChildrenOutcome outcome =
        fleet::runChildren(ports, redraw, console.columns(), program, args, positional);
    interruptStatus = outcome.interruptStatus;
    results = outcome.results;
    statuses = outcome.statuses;
    json = outcome.json;
  }
  std::printf("\n%s", fleet::summaryTable(results).c_str());
  if (options.json) std::printf("%s\n", json.c_str());
  std::fflush(stdout);
  return fleet::fleetExitStatus(statuses, interruptStatus);
}
