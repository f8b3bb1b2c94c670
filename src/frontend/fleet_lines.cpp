// A child's console output cut into the lines and progress moves that the
// parent of a run over several ports shows.
#include <cmath>
#include <cstdlib>

#include "frontend/fleet.h"

namespace fleet {
namespace {

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
}  // namespace

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

}  // namespace fleet
