// The parent of a run over several ports: starts one child updater per
// port, shows their output under the port's name, and sums them up.
#include "frontend/fleet.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/json_writer.h"
#include "common/printable.h"
#include "frontend/run_files.h"
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

// The text after the last carriage return that something follows: what a
// console shows of a line that keeps being overwritten.
std::string_view lastSegment(std::string_view line) {
  std::size_t end = line.size();
  while (end > 0 && line[end - 1] == '\r') --end;
  if (end == 0) return std::string_view();
  const std::size_t cr = line.rfind('\r', end - 1);
  const std::size_t begin = cr == std::string_view::npos ? 0 : cr + 1;
  return line.substr(begin, end - begin);
}

// "Job at 42.50 %": true, with the whole percentage.
bool progressPercent(const std::string& text, long* whole) {
  static const char kPrefix[] = "Job at ";
  if (text.compare(0, sizeof kPrefix - 1, kPrefix) != 0) return false;
  const char* number = text.c_str() + sizeof kPrefix - 1;
  char* end = nullptr;
  const double value = std::strtod(number, &end);
  if (end == number || !std::isfinite(value)) return false;
  *whole = static_cast<long>(std::floor(value));
  return true;
}

// An unfinished line longer than this keeps only its last segment; a line
// without any carriage return counts as finished at this length.
constexpr std::size_t kLongestLine = 64 * 1024;

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

std::string renderLine(std::string_view raw) {
  std::string shown;
  std::size_t column = 0;
  for (const char ch : raw) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '\r') {
      column = 0;
    } else if (c == '\t') {
      column = (column / 8 + 1) * 8;
      if (shown.size() < column) shown.resize(column, ' ');
    } else if (c == '\b') {
      if (column > 0) --column;
    } else if (c < 0x20 || c == 0x7F) {
      continue;
    } else {
      if (column < shown.size())
        shown[column] = ch;
      else
        shown.push_back(ch);
      ++column;
    }
  }
  shown.erase(shown.find_last_not_of(' ') + 1);
  return shown;
}

void LineSplitter::feed(std::string_view bytes, std::vector<Piece>* pieces) {
  for (const char c : bytes) {
    if (c == '\n')
      finishLine(pieces);
    else
      pending_ += c;
  }
  if (pending_.size() > kLongestLine) {
    // Thousands of progress moves without a line end: only the last one
    // still shows.
    const std::string_view segment = lastSegment(pending_);
    if (segment.empty()) {
      pending_.clear();  // carriage returns and nothing else
    } else if (segment.data() > pending_.data()) {
      // Keep the segment with the carriage return before it.
      pending_.erase(0, static_cast<std::size_t>(segment.data() - pending_.data()) - 1);
    } else {
      finishLine(pieces);
    }
  }
  noteProgress(lastSegment(pending_), pieces);
}

void LineSplitter::noteProgress(std::string_view segment, std::vector<Piece>* pieces) {
  // A move counts once its '%' has arrived.
  if (segment.find('%') == std::string_view::npos) return;
  std::string text = renderLine(segment);
  long whole = 0;
  if (!progressPercent(text, &whole) || whole == lastWhole_) return;
  lastWhole_ = whole;
  pieces->push_back({true, std::move(text)});
}

void LineSplitter::finishLine(std::vector<Piece>* pieces) {
  std::string line;
  line.swap(pending_);
  const std::string segment = renderLine(lastSegment(line));
  long whole = 0;
  if (progressPercent(segment, &whole)) {
    noteProgress(lastSegment(line), pieces);
    return;
  }
  std::string text = renderLine(line);
  if (!text.empty()) pieces->push_back({false, std::move(text)});
}

void LineSplitter::finish(std::vector<Piece>* pieces) {
  if (!pending_.empty()) finishLine(pieces);
}

std::string LineSplitter::live() const { return renderLine(lastSegment(pending_)); }

bool readJsonObject(std::string_view text, std::map<std::string, std::string>* members) {
  std::map<std::string, std::string> read;
  if (!JsonReader(text).object(&read)) return false;
  if (members != nullptr) *members = std::move(read);
  return true;
}

std::string outcomeText(const PortResult& result) {
  if (!result.started) return "not started";
  if (result.status == 0) return "success";
  if (result.status == 130) return "interrupted";
  std::string text = result.status == kExitRefused ? "refused" : "failure";
  text += " (" + (result.how.empty() ? "exit " + std::to_string(result.status) : result.how) + ")";
  if (!result.failedStep.empty()) text += " at " + result.failedStep;
  return text;
}

std::string summaryTable(const std::vector<PortResult>& results) {
  std::vector<std::vector<std::string>> rows = {{"Port", "Card", "Firmware", "Outcome", "Time"}};
  for (const PortResult& r : results) {
    char time[32];
    std::snprintf(time, sizeof time, "%.1f s", r.seconds);
    // What the card told, through the child's JSON: shown safely.
    rows.push_back({r.port, r.card.empty() ? "-" : printable(r.card),
                    r.firmware.empty() ? "-" : printable(r.firmware),
                    outcomeText(r), time});
  }
  std::vector<std::size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows)
    for (std::size_t k = 0; k < row.size(); ++k) widths[k] = std::max(widths[k], row[k].size());
  std::string table;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t k = 0; k + 1 < row.size(); ++k) {
      line += row[k];
      line.append(widths[k] - row[k].size() + 2, ' ');
    }
    line.append(widths.back() - row.back().size(), ' ');  // times line up on the right
    line += row.back();
    table += line + "\n";
  }
  return table;
}

int fleetExitStatus(const std::vector<int>& statuses, int interruptStatus) {
  if (interruptStatus != 0) return interruptStatus;
  int highest = 0;
  for (int status : statuses) highest = std::max(highest, status);
  return highest;
}

}  // namespace fleet

namespace {

using fleet::LineSplitter;

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

// Where the children's lines go.  Through a pipe or into a file: every line
// at once, prefixed with its port, and a progress line when its whole
// percentage changes.  On a console: the finished lines scroll, prefixed,
// above a block of one status line per port, redrawn in place.
class Display {
 public:
  Display(bool redraw, int columns, std::vector<std::string> labels)
      : redraw_(redraw),
        columns_(std::max(columns, 20)),
        labels_(std::move(labels)),
        statuses_(labels_.size()) {}

  void line(std::size_t port, bool toErrorStream, const std::string& text) {
    std::string shown = labels_[port] + text + "\n";
    if (!redraw_) {
      std::fputs(shown.c_str(), toErrorStream ? stderr : stdout);
      return;
    }
    scrolled_.push_back({toErrorStream, std::move(shown)});
  }

  void progress(std::size_t port, const std::string& text) {
    if (!redraw_) std::fputs((labels_[port] + text + "\n").c_str(), stdout);
  }

  void status(std::size_t port, const std::string& text) {
    std::string shown = labels_[port] + text;
    if (shown.size() >= static_cast<std::size_t>(columns_))
      shown.resize(static_cast<std::size_t>(columns_) - 1);
    if (shown == statuses_[port]) return;
    statuses_[port] = std::move(shown);
    dirty_ = true;
  }

  // How long the caller may wait before the next draw() is due.
  int waitLimit() const {
    if (!redraw_ || !dirty_) return 1000;
    const DWORD since = GetTickCount() - drawnAt_;
    return since >= kRedrawMs ? 0 : static_cast<int>(kRedrawMs - since);
  }

  // Prints the lines that finished and, at most every kRedrawMs, the
  // status lines that changed.
  void draw() {
    if (!redraw_) return;
    if (scrolled_.empty() && !(dirty_ && GetTickCount() - drawnAt_ >= kRedrawMs)) return;
    std::string text = erase();
    for (const Scrolled& s : scrolled_) {
      if (!s.toErrorStream) {
        text += s.text;
        continue;
      }
      write(&text);
      std::fputs(s.text.c_str(), stderr);
      std::fflush(stderr);
    }
    scrolled_.clear();
    for (const std::string& s : statuses_) text += s + "\n";
    drawnLines_ = statuses_.size();
    write(&text);
    drawnAt_ = GetTickCount();
    dirty_ = false;
  }

  // Takes the status block away; what follows is printed below the
  // finished lines.
  void close() {
    if (!redraw_) return;
    std::string text = erase();
    for (const Scrolled& s : scrolled_) text += s.text;
    scrolled_.clear();
    write(&text);
  }

 private:
  static constexpr DWORD kRedrawMs = 100;
  struct Scrolled {
    bool toErrorStream;
    std::string text;
  };

  // Moves to the first status line and erases from there down.
  std::string erase() {
    std::string text;
    if (drawnLines_ > 0) text = "\x1b[" + std::to_string(drawnLines_) + "A\r\x1b[J";
    drawnLines_ = 0;
    return text;
  }
  static void write(std::string* text) {
    std::fwrite(text->data(), 1, text->size(), stdout);
    std::fflush(stdout);
    text->clear();
  }

  bool redraw_;
  int columns_;
  std::vector<std::string> labels_;
  std::vector<std::string> statuses_;
  std::vector<Scrolled> scrolled_;
  std::size_t drawnLines_ = 0;
  bool dirty_ = false;
  DWORD drawnAt_ = 0;
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

// The port list is refused before anything starts: one object per listed
// name, each refused.
std::string refusedResults(const std::string& argument, const std::string& refusal) {
  JsonWriter json;
  json.beginArray();
  for (const std::string& part : fleet::splitAtCommas(argument)) {
    json.beginObject();
    json.key("port").value(upperCase(part));
    json.key("outcome").value("refused");
    json.key("exit_status").value(static_cast<int>(kExitRefused));
    json.key("failed_step").value("arguments");
    json.key("message").value(fleet::trimmed(refusal, "\n"));
    json.endObject();
  }
  json.endArray();
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
    FleetRun fleetRun(ports, redraw, console.columns());
    interruptStatus = fleetRun.run(program, args, positional);
    results = fleetRun.results();
    statuses = fleetRun.statuses();
    json = fleetRun.jsonArray();
  }
  std::printf("\n%s", fleet::summaryTable(results).c_str());
  if (options.json) std::printf("%s\n", json.c_str());
  std::fflush(stdout);
  return fleet::fleetExitStatus(statuses, interruptStatus);
}
