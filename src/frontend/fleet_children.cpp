// The parent's side of a run over several ports: one child per port,
// its output shown under the port's name, its result collected.
#include "frontend/fleet_children.h"

#include <cmath>
#include <cstring>
#include <map>

#include "common/json_writer.h"
#include "frontend/fleet_display.h"
#include "frontend/run_report.h"
#include "frontend/startup.h"
#include "link/identification.h"
#include "platform/child_process.h"
#include "platform/win32.h"

namespace fleet {
namespace {

// A reader for the result line of a child: one JSON value at a time, with
// a bound on nesting.
class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : s_(text) {}

  bool object(std::map<std::string, std::string>* members) {
    blanks();
    if (!take('{')) return false;
    blanks();
    if (!take('}')) {
      do {
        blanks();
        std::string name;
        if (!string(&name)) return false;
        blanks();
        if (!take(':')) return false;
        blanks();
        std::string scalar;
        bool isNull = false;
        const bool nested = i_ < s_.size() && (s_[i_] == '{' || s_[i_] == '[');
        if (!value(0, &scalar, &isNull)) return false;
        if (!isNull && !nested && members != nullptr) (*members)[name] = scalar;
        blanks();
      } while (take(','));
      if (!take('}')) return false;
    }
    blanks();
    return i_ == s_.size();
  }

 private:
  static constexpr int kDeepest = 32;

  bool take(char c) {
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  void blanks() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r'))
      ++i_;
  }
  bool literal(const char* word, std::string* scalar) {
    const std::size_t n = std::strlen(word);
    if (s_.substr(i_, n) != word) return false;
    i_ += n;
    if (scalar != nullptr) *scalar = word;
    return true;
  }

  // A value; a scalar's text goes to `*scalar`.
  bool value(int depth, std::string* scalar, bool* isNull) {
    if (i_ >= s_.size()) return false;
    switch (s_[i_]) {
      case '"': return string(scalar);
      case '{': return container(depth, '}');
      case '[': return container(depth, ']');
      case 't': return literal("true", scalar);
      case 'f': return literal("false", scalar);
      case 'n':
        if (isNull != nullptr) *isNull = true;
        return literal("null", nullptr);
      default: return number(scalar);
    }
  }

  bool container(int depth, char close) {
    if (depth >= kDeepest) return false;
    ++i_;
    blanks();
    if (take(close)) return true;
    do {
      blanks();
      if (close == '}') {
        if (!string(nullptr)) return false;
        blanks();
        if (!take(':')) return false;
        blanks();
      }
      if (!value(depth + 1, nullptr, nullptr)) return false;
      blanks();
    } while (take(','));
    return take(close);
  }

  bool number(std::string* scalar) {
    const std::size_t begin = i_;
    take('-');
    if (take('0')) {
    } else if (!digits()) {
      return false;
    }
    if (take('.') && !digits()) return false;
    if (take('e') || take('E')) {
      if (!take('+')) take('-');
      if (!digits()) return false;
    }
    if (scalar != nullptr) scalar->assign(s_.substr(begin, i_ - begin));
    return true;
  }
  bool digits() {
    const std::size_t begin = i_;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
    return i_ > begin;
  }

  bool hex4(unsigned* code) {
    if (s_.size() - i_ < 4) return false;
    *code = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = s_[i_++];
      unsigned digit;
      if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
      else return false;
      *code = *code * 16 + digit;
    }
    return true;
  }
  static void appendUtf8(std::string* out, unsigned code) {
    if (code < 0x80) {
      *out += static_cast<char>(code);
    } else if (code < 0x800) {
      *out += static_cast<char>(0xC0 | (code >> 6));
      *out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      *out += static_cast<char>(0xE0 | (code >> 12));
      *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      *out += static_cast<char>(0xF0 | (code >> 18));
      *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  bool string(std::string* out) {
    if (!take('"')) return false;
    std::string text;
    while (i_ < s_.size()) {
      const unsigned char c = static_cast<unsigned char>(s_[i_++]);
      if (c == '"') {
        if (out != nullptr) *out = std::move(text);
        return true;
      }
      if (c < 0x20) return false;
      if (c != '\\') {
        text += static_cast<char>(c);
        continue;
      }
      if (i_ >= s_.size()) return false;
      const char e = s_[i_++];
      switch (e) {
        case '"': case '\\': case '/': text += e; break;
        case 'b': text += '\b'; break;
        case 'f': text += '\f'; break;
        case 'n': text += '\n'; break;
        case 'r': text += '\r'; break;
        case 't': text += '\t'; break;
        case 'u': {
          unsigned code = 0;
          if (!hex4(&code)) return false;
          if (code >= 0xD800 && code < 0xDC00 && s_.substr(i_, 2) == "\\u") {
            const std::size_t back = i_;
            i_ += 2;
            unsigned low = 0;
            if (!hex4(&low)) return false;
            if (low >= 0xDC00 && low < 0xE000)
              code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            else
              i_ = back;  // not a pair: the second escape stands alone
          }
          if (code >= 0xD800 && code < 0xE000) code = 0xFFFD;
          appendUtf8(&text, code);
          break;
        }
        default: return false;
      }
    }
    return false;
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

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

  void noteResult(const std::map<std::string, std::string>& members) {
    auto member = [&](const char* key) {
      const auto it = members.find(key);
      return it == members.end() ? std::string() : it->second;
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
  std::map<std::string, std::string> result;
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
  JsonWriter json;
  json.beginObject();
  json.key("port").value(state.port);
  json.key("card_model");
  if (state.card.model.empty()) json.null(); else json.value(state.card.model);
  json.key("card_plus");
  if (state.card.plus < 0) json.null(); else json.value(state.card.plus == 1);
  json.key("firmware_version");
  if (state.card.firmware.empty()) json.null(); else json.value(state.card.firmware);
  json.key("outcome").value(state.status == 0 ? "success"
                            : state.status == kExitRefused ? "refused" : "failure");
  json.key("exit_status").value(state.status);
  json.key("elapsed_seconds").value(std::round(seconds * 1000.0) / 1000.0);
  json.key("failed_step");
  if (state.started) json.null(); else json.value("start");
  json.key("message");
  if (state.message.empty()) json.null(); else json.value(state.message);
  json.endObject();
  return json.text();
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
      if (step != s.result.end()) r.failedStep = step->second;
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

bool readJsonObject(std::string_view text, std::map<std::string, std::string>* members) {
  std::map<std::string, std::string> read;
  if (!JsonReader(text).object(&read)) return false;
  if (members != nullptr) *members = std::move(read);
  return true;
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
