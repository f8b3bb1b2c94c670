// The parent's side of a run over several ports: one child per port,
// its output shown under the port's name, its result collected.
#include "frontend/fleet_children.h"

#include <cmath>
#include <cstring>

#include "common/json_writer.h"
#include "frontend/fleet_display.h"
#include "frontend/run_report.h"
#include "frontend/startup.h"
#include "link/identification.h"
#include "platform/child_process.h"
#include "platform/win32.h"

namespace fleet {
namespace {

// What the card told in the banner: "*  HDMI TO SDI PLUS  *" and
// "*  Software Version  -> 2.5  *".
struct CardFacts {
  std::string model;  // without " PLUS"
  int plus = -1;      // 1 PLUS, 0 not, -1 unknown
  std::string firmware;

  void noteLine(const std::string& text) {
    const std::string core = trimmedFrame(text);
    for (const char* name : cardModeName) {
      if (core == name) {
        model = name;
        plus = 0;
      } else if (core == std::string(name) + " PLUS") {
        model = name;
        plus = 1;
      }
    }
    static const char kVersion[] = "Software Version";
    const std::size_t arrow = core.find("->");
    if (core.compare(0, sizeof kVersion - 1, kVersion) == 0 && arrow != std::string::npos) {
      firmware = core.substr(arrow + 2);
      firmware.erase(0, firmware.find_first_not_of(' '));
    }
  }

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

 private:
  static std::string trimmedFrame(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" *");
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(" *") - first + 1);
  }
};

// One port of the run.
struct PortState {
  std::string port;
  LineSplitter out, err;
  std::string lastLine;  // the latest finished line, for the status line
  std::string heldJson;  // a line that reads as a JSON object, held until another line follows
  std::string json;      // the child's result object, when it printed one
  Json result;  // the child's result object, read
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
          take(e.child, e.errorStream, e.bytes);
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
    const std::string live = s.out.live();
    return live.empty() ? s.lastLine : live;
  }

  void take(std::size_t port, bool errorStream, const std::string& bytes) {
    std::vector<LineSplitter::Piece> pieces;
    (errorStream ? states_[port].err : states_[port].out).feed(bytes, &pieces);
    show(port, errorStream, pieces);
  }

  void show(std::size_t port, bool errorStream, const std::vector<LineSplitter::Piece>& pieces) {
    PortState& s = states_[port];
    for (const LineSplitter::Piece& piece : pieces) {
      if (piece.progress) {
        display_.progress(port, piece.text);
        continue;
      }
      if (!errorStream) {
        // The child's result is its last line: a line that reads as a JSON
        // object is held back until it is clear that it was the last.
        if (!s.heldJson.empty()) {
          display_.line(port, false, s.heldJson);
          s.heldJson.clear();
        }
        if (piece.text[0] == '{' && fleet::readJsonObject(piece.text, nullptr)) {
          s.heldJson = piece.text;
          continue;
        }
        s.card.noteLine(piece.text);
      }
      display_.line(port, errorStream, piece.text);
      s.lastLine = piece.text;
    }
  }

  void end(const platform::ChildEvent& e) {
    PortState& s = states_[e.child];
    std::vector<LineSplitter::Piece> pieces;
    s.out.finish(&pieces);
    show(e.child, false, pieces);
    pieces.clear();
    s.err.finish(&pieces);
    show(e.child, true, pieces);
    if (!s.heldJson.empty() && fleet::readJsonObject(s.heldJson, &s.result)) {
      s.json = s.heldJson;
      s.card.noteResult(s.result);
    }
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
