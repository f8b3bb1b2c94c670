// A video processor on the fake line, frame by frame: every "=M" micro
// command and every "=G" ISP request the updater completes with CR is
// recorded (the request decoded into words) and handed to the card's own
// answer.  Malformed frames and bad checksums fail the test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "isp/isp_message.h"
#include "isp/line_encoding.h"
#include "support/fake_line.h"

namespace testsupport {

class IspPeer : public Peer {
 public:
  std::vector<std::vector<uint16_t>> requests;
  std::string micros;

  void onWrite(const uint8_t* data, std::size_t n, uint32_t, FakeLine& line) override {
    for (std::size_t i = 0; i < n; ++i) {
      pending_.push_back(data[i]);
      if (data[i] != '\r') continue;
      std::vector<uint8_t> frame;
      frame.swap(pending_);
      if (frame.size() == 4 && frame[0] == '=' && frame[1] == 'M') {
        micros.push_back(static_cast<char>(frame[2]));
        onMicroCommand(static_cast<char>(frame[2]), line);
        continue;
      }
      if (frame.size() < 3 || frame[0] != '=' || frame[1] != 'G') {
        ADD_FAILURE() << "not an ISP frame: " << std::string(frame.begin(), frame.end());
        continue;
      }
      std::vector<uint8_t> raw(frame.size());
      raw.resize(yDecode(raw.data(), frame.data() + 2, static_cast<int>(frame.size() - 3)));
      std::vector<uint16_t> words;
      for (std::size_t k = 0; k + 1 < raw.size(); k += 2)
        words.push_back(static_cast<uint16_t>(raw[k] | raw[k + 1] << 8));
      if (words.empty() || words.size() < static_cast<std::size_t>(ispWords(words[0]))) {
        ADD_FAILURE() << "ISP request shorter than its header says";
        continue;
      }
      EXPECT_TRUE(checksumOK(words.data())) << "request checksum";
      requests.push_back(words);
      onRequest(words, line);
    }
  }

 protected:
  virtual void onMicroCommand(char command, FakeLine& line) = 0;
  virtual void onRequest(const std::vector<uint16_t>& words, FakeLine& line) = 0;

 private:
  std::vector<uint8_t> pending_;
};

}  // namespace testsupport
