// The exchange log (--log FILE): one line per chunk of bytes or note, with
// the time in milliseconds since start, the direction and the bytes in hex.
//
//      12.345 <  23 44 45 56 45 52 53 49 4F 4E 0D   (updater to card)
//      12.401  > 23 44 45 56 45 52 53 49 4F 4E 20   (card to updater)
//      12.402  # command #DEVERSION                 (what the card did)
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace cardsim {

class ExchangeLog {
 public:
  ExchangeLog() = default;
  ~ExchangeLog();
  ExchangeLog(const ExchangeLog&) = delete;
  ExchangeLog& operator=(const ExchangeLog&) = delete;

  bool open(const std::string& path);  // "-" logs to standard error
  void bytes(double ms, bool fromUpdater, const uint8_t* data, std::size_t n, uint32_t baud);
  void note(double ms, const std::string& text);

 private:
  FILE* f_ = nullptr;
  bool own_ = false;
};

}  // namespace cardsim
