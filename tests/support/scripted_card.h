// A card on the fake line that answers the command channel from a script,
// and a test fixture with it on an opened link: for the tests of the
// command exchange and of the identification.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "link/serial_link.h"
#include "support/fake_line.h"
#include "support/updater_run.h"

namespace testsupport {

// A peer that answers each complete command with a scripted reply, and acts
// on the line at scheduled virtual times.
class ScriptedCard : public testsupport::Peer {
 public:
  std::function<void(const std::string&, FakeLine&)> onCommand;
  std::deque<std::pair<uint64_t, std::function<void(FakeLine&)>>> scheduled;
  std::string pending;

  void onWrite(const uint8_t* d, std::size_t n, uint32_t, FakeLine& line) override {
    for (std::size_t i = 0; i < n; ++i) {
      pending.push_back(static_cast<char>(d[i]));
      if (d[i] == '\r') {
        if (onCommand) onCommand(pending, line);
        pending.clear();
      }
    }
  }
  std::optional<uint64_t> nextEvent() const override {
    if (scheduled.empty()) return std::nullopt;
    return scheduled.front().first;
  }
  void onEvent(FakeLine& line) override {
    auto action = std::move(scheduled.front().second);
    scheduled.pop_front();
    action(line);
  }
};

inline std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

class CardLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    link = testsupport::openTestLink();
    ASSERT_NE(link, nullptr);
    line.setPeer(&card);
  }
  void TearDown() override {
    line.setPeer(nullptr);
    link.reset();
  }
  // A card that knows both requests.
  void answerAs(const std::string& model, const std::string& version = "1 2.0") {
    card.onCommand = [model, version](const std::string& cmd, FakeLine& l) {
      if (cmd == "#DEVERSION\r") l.deliver("#DEVERSION " + version + "\r", 1);
      if (cmd == "#DEVTYPE\r") l.deliver("#DEVTYPE " + model + "\r", 1);
    };
  }

  FakeLine line;
  ScriptedCard card;
  std::unique_ptr<SerialLink> link;
};

}  // namespace testsupport
