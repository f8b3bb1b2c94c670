// A video processor on the fake line that answers each ISP frame and micro
// command through a script, and a test fixture with it on an opened link:
// for the ISP transaction and micro command tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "isp/isp_message.h"
#include "isp/isp_transaction.h"
#include "link/serial_link.h"
#include "support/fake_line.h"
#include "support/isp_peer.h"
#include "support/updater_run.h"

namespace testsupport {

// A card that answers each complete "=G" frame or micro command through a
// script.
class ScriptedVxp : public testsupport::IspPeer {
 public:
  std::function<void(const std::vector<uint16_t>&, FakeLine&)> answerRequest;
  std::function<void(char, FakeLine&)> answerMicro;

 private:
  void onMicroCommand(char command, FakeLine& line) override {
    if (answerMicro) answerMicro(command, line);
  }
  void onRequest(const std::vector<uint16_t>& words, FakeLine& line) override {
    if (answerRequest) answerRequest(words, line);
  }
};

// `card` on the fake line, and a link opened to it.
template <typename Card>
class CardOnLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    link = testsupport::openTestLink();
    ASSERT_TRUE(link);
    line.setPeer(&card);
  }
  void TearDown() override { line.setPeer(nullptr); }
  FakeLine line;
  Card card;
  std::unique_ptr<SerialLink> link;
};

class IspLineTest : public CardOnLineTest<ScriptedVxp> {
 protected:
  // One status request; the card's reply is `reply` `delay` ms later.
  IspResult statusExchange(const std::vector<uint8_t>& reply, uint16_t* response,
                           uint64_t delay = 2) {
    card.answerRequest = [reply, delay](const std::vector<uint16_t>&, FakeLine& l) {
      l.deliver(reply, delay);
    };
    uint16_t msg[kIspMaxWords] = {kIspModeStatusRequest, 0};
    return sendISPCmd(*link, msg, response, 0);
  }
};

}  // namespace testsupport
