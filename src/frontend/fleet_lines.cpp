// A child's console output cut into the lines that the parent of a run
// over several ports shows.  (Its progress comes on the report channel.)
#include <algorithm>
#include <cstddef>

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
      const std::size_t stop = (column / 8 + 1) * 8;
      if (shown.size() < stop) shown.resize(stop, ' ');
      std::fill(shown.begin() + static_cast<std::ptrdiff_t>(column),
                shown.begin() + static_cast<std::ptrdiff_t>(stop), ' ');
      column = stop;
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

void LineSplitter::feed(std::string_view bytes, std::vector<std::string>* lines) {
  for (const char c : bytes) {
    if (c == '\n')
      finishLine(lines);
    else
      pending_ += c;
  }
  if (pending_.size() > kLongestLine) {
    // Thousands of overwrites without a line end: only the last one still
    // shows.
    const std::string_view segment = lastSegment(pending_);
    if (segment.empty()) {
      pending_.clear();  // carriage returns and nothing else
    } else if (segment.data() > pending_.data()) {
      // Keep the segment with the carriage return before it.
      pending_.erase(0, static_cast<std::size_t>(segment.data() - pending_.data()) - 1);
    } else {
      finishLine(lines);
    }
  }
}

void LineSplitter::finishLine(std::vector<std::string>* lines) {
  std::string line;
  line.swap(pending_);
  std::string text = renderLine(line);
  if (!text.empty()) lines->push_back(std::move(text));
}

void LineSplitter::finish(std::vector<std::string>* lines) {
  if (!pending_.empty()) finishLine(lines);
}

std::string LineSplitter::live() const { return renderLine(lastSegment(pending_)); }

}  // namespace fleet
