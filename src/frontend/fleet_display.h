// Where the children of a run over several ports show their lines.
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace fleet {

// Where the children's lines go.  Through a pipe or into a file: every line
// at once, prefixed with its port, and a progress line for each progress
// report (a child sends one when its whole percentage changes).  On a console: the finished lines scroll, prefixed,
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

}  // namespace fleet
