// The parent's side of a run over several ports: one child per port,
// its output shown under the port's name, its result collected.
#include "frontend/fleet_children.h"

#include <cmath>
#include <cstring>
#include <optional>

#include "common/json_writer.h"
#include "frontend/fleet_display.h"
#include "frontend/progress_report.h"
#include "frontend/run_report.h"
#include "frontend/startup.h"
#include "link/identification.h"
#include "platform/child_process.h"
#include "platform/win32.h"

namespace fleet {
namespace {

// What the child told of its card through the report channel.
struct CardFacts {
  std::string model;  // without " PLUS"
  int plus = -1;      // 1 PLUS, 0 not, -1 unknown
  std::string firmware;

  void noteResult(const Json& result) {
    auto member = [&](const char* key) {
      const auto it = result.find(key);
      return it == result.end() || it->is_null() ? std::string() : jsonScalar(*it);
    };
    if (!member("card_model").empty()) model = member("card_model");
    if (!member("card_plus").empty()) plus = member("card_plus") == "true" ? 1 : 0;
    if (!member("firmware_version").empty()) firmware = member("firmware_version");
  }

  std::string card() const {
    if (model.empty()) return std::string();
    return plus == 1 ? model + " PLUS" : model;
  }

};

// One port of the run.
struct PortState {
  std::string port;
  LineSplitter out, err;
  std::string lastLine;  // the latest finished line, for the status line
  std::string progress;  // the latest progress report, when no line came after it
  std::string reported;  // the report channel's unfinished line
  std::string json;      // the child's result object, when it sent one
  Json result;           // the same, read
  CardFacts card;
  std::string message;  // why the child did not start, or how it ended
  bool started = false;
  bool ended = false;
  int status = 0;
  std::string how;
  DWORD startedAt = 0;
  DWORD endedAt = 0;
};

// The object that stands for a port whose child printed none: what the
// parent knows, under the names a child uses.
std::string fallbackResult(const PortState& state, double seconds) {
  Json json = Json::object();
  json["port"] = state.port;
  json["card_model"] = state.card.model.empty() ? Json() : Json(state.card.model);
  json["card_plus"] = state.card.plus < 0 ? Json() : Json(state.card.plus == 1);
  json["firmware_version"] = state.card.firmware.empty() ? Json() : Json(state.card.firmware);
  json["outcome"] = outcomeOf(state.status);
  json["exit_status"] = state.status;
  json["elapsed_seconds"] = std::round(seconds * 1000.0) / 1000.0;
  json["failed_step"] = state.started ? Json() : Json("start");
  json["message"] = state.message.empty() ? Json() : Json(state.message);
  return jsonText(json);
}

// A line on the report channel is one JSON object: far shorter than this.
constexpr std::size_t kLongestReport = 1024 * 1024;

class FleetRun {
 public:
  FleetRun(std::vector<std::string> ports, bool redraw, int columns)
      : states_(ports.size()), display_(redraw, columns, labelsFor(ports)) {
    for (std::size_t i = 0; i < ports.size(); ++i) states_[i].port = ports[i];
  }

  // Starts every child and shows their output until all have ended.
  // Returns the interrupt status (0 when none came).
  int run(const std::string& program, const std::vector<std::string>& args,
          const std::vector<std::size_t>& positional) {
    platform::ChildGroup group;
    for (PortState& state : states_) {
      state.startedAt = GetTickCount();
      std::string error;
      state.started =
          group.start(program, fleet::childArguments(args, positional, state.port), &error);
      if (!state.started) {
        state.ended = true;
        state.status = kExitFailed;
        state.message = error;
        state.endedAt = state.startedAt;
        display_.line(indexOf(state), true, error);
      }
    }
    std::vector<platform::ChildEvent> events;
    while (group.running() > 0) {
      events.clear();
      group.wait(display_.waitLimit(), &events);
      for (platform::ChildEvent& e : events) {
        if (e.kind == platform::ChildEvent::Kind::Output)
          take(e.child, e.errorStream, e.reportStream, e.bytes);
        else
          end(e);
      }
      // Ctrl-C: the children had it as well; those that stay are ended.
      if (group.interruptStatus() != 0) {
        interrupted_ = true;
        group.stopAll(3000);
      }
      for (std::size_t i = 0; i < states_.size(); ++i) display_.status(i, statusOf(states_[i]));
      display_.draw();
    }
    display_.close();
    return group.interruptStatus();
  }

  std::vector<fleet::PortResult> results() const {
    std::vector<fleet::PortResult> rows;
    for (const PortState& s : states_) {
      fleet::PortResult r;
      r.port = s.port;
      r.card = s.card.card();
      r.firmware = s.card.firmware;
      r.started = s.started;
      r.status = s.status;
      r.how = s.how;
      const auto step = s.result.find("failed_step");
      if (step != s.result.end() && step->is_string()) r.failedStep = step->get<std::string>();
      r.seconds = secondsOf(s);
      rows.push_back(r);
    }
    return rows;
  }

  std::string jsonArray() const {
    std::string text = "[";
    for (const PortState& s : states_) {
      if (text.size() > 1) text += ',';
      text += s.json.empty() ? fallbackResult(s, secondsOf(s)) : s.json;
    }
    return text + "]";
  }

  std::vector<int> statuses() const {
    std::vector<int> all;
    for (const PortState& s : states_) all.push_back(s.status);
    return all;
  }

 private:
  static std::vector<std::string> labelsFor(const std::vector<std::string>& ports) {
    std::size_t width = 0;
    for (const std::string& p : ports) width = std::max(width, p.size());
    std::vector<std::string> labels;
    for (const std::string& p : ports)
      labels.push_back(p + ":" + std::string(width - p.size() + 1, ' '));
    return labels;
  }

  std::size_t indexOf(const PortState& state) const {
    return static_cast<std::size_t>(&state - states_.data());
  }

  static double secondsOf(const PortState& s) { return (s.endedAt - s.startedAt) / 1000.0; }

  static std::string statusOf(const PortState& s) {
    if (s.ended) {
      fleet::PortResult r;
      r.started = s.started;
      r.status = s.status;
      r.how = s.how;
      return "done: " + fleet::outcomeText(r);
    }
    if (!s.progress.empty()) return s.progress;
    const std::string live = s.out.live();
    return live.empty() ? s.lastLine : live;
  }

  void take(std::size_t port, bool errorStream, bool reportStream, const std::string& bytes) {
    if (reportStream) {
      noteReport(port, bytes);
      return;
    }
    std::vector<std::string> lines;
    (errorStream ? states_[port].err : states_[port].out).feed(bytes, &lines);
    show(port, errorStream, lines);
  }

  void show(std::size_t port, bool errorStream, const std::vector<std::string>& lines) {
    PortState& s = states_[port];
    for (const std::string& line : lines) {
      display_.line(port, errorStream, line);
      s.lastLine = line;
      s.progress.clear();
    }
  }

  // A line on the report channel: the job's progress, what the child
  // learned of its card, and at its end its result object (the one with an
  // "outcome").
  void noteReport(std::size_t port, const std::string& bytes) {
    PortState& s = states_[port];
    s.reported += bytes;
    for (std::size_t end; (end = s.reported.find('\n')) != std::string::npos;) {
      const std::string line = s.reported.substr(0, end);
      s.reported.erase(0, end + 1);
      Json object;
      if (!readJsonObject(line, &object)) continue;
      if (const std::optional<double> percent = ProgressReport::percentOf(object)) {
        // The console's progress line, without its carriage return.
        s.progress = progressLine(*percent).substr(1);
        display_.progress(port, s.progress);
        continue;
      }
      s.card.noteResult(object);
      if (object.contains("outcome")) {
        s.json = line;
        s.result = std::move(object);
      }
    }
    if (s.reported.size() > kLongestReport) s.reported.clear();  // no line of ours is so long
  }

  void end(const platform::ChildEvent& e) {
    PortState& s = states_[e.child];
    std::vector<std::string> lines;
    s.out.finish(&lines);
    show(e.child, false, lines);
    lines.clear();
    s.err.finish(&lines);
    show(e.child, true, lines);
    s.ended = true;
    s.status = e.status;
    s.how = e.how;
    // Ctrl-C ended it, by its own signal or by the kill after the grace.
    if (interrupted_ && !e.how.empty()) {
      s.status = 130;
      s.how.clear();
    }
    s.message = s.how;
    s.endedAt = GetTickCount();
  }

  std::vector<PortState> states_;
  Display display_;
  bool interrupted_ = false;  // Ctrl-C came: every run is being ended
};

}  // namespace

bool readJsonObject(std::string_view text, Json* object) {
  Json read = readJson(text);
  if (!read.is_object()) return false;
  if (object != nullptr) *object = std::move(read);
  return true;
}

std::string jsonScalar(const Json& value) {
  if (value.is_string()) return value.get<std::string>();
  return value.is_primitive() && !value.is_null() ? jsonText(value) : std::string();
}

ChildrenOutcome runChildren(const std::vector<std::string>& ports, bool redraw, int columns,
                            const std::string& program, const std::vector<std::string>& args,
                            const std::vector<std::size_t>& positional) {
  FleetRun fleetRun(ports, redraw, columns);
  ChildrenOutcome outcome;
  outcome.interruptStatus = fleetRun.run(program, args, positional);
  outcome.results = fleetRun.results();
  outcome.statuses = fleetRun.statuses();
  outcome.json = fleetRun.jsonArray();
  return outcome;
}

}  // namespace fleet
