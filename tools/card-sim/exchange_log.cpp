#include "exchange_log.h"

namespace cardsim {

ExchangeLog::~ExchangeLog() {
  if (f_ && own_) std::fclose(f_);
}

bool ExchangeLog::open(const std::string& path) {
  if (path == "-") {
    f_ = stderr;
    return true;
  }
  f_ = std::fopen(path.c_str(), "w");
  own_ = f_ != nullptr;
  return f_ != nullptr;
}

void ExchangeLog::bytes(double ms, bool fromUpdater, const uint8_t* data, std::size_t n,
                        uint32_t baud) {
  if (!f_) return;
  for (std::size_t off = 0; off < n; off += 32) {
    std::fprintf(f_, "%10.3f %s", ms, fromUpdater ? "< " : " >");
    for (std::size_t i = off; i < n && i < off + 32; ++i) std::fprintf(f_, " %02X", data[i]);
    if (off == 0 && baud != 0 && baud != 115200) std::fprintf(f_, "   @%u", static_cast<unsigned>(baud));
    std::fputc('\n', f_);
  }
  std::fflush(f_);
}

void ExchangeLog::note(double ms, const std::string& text) {
  if (!f_) return;
  std::fprintf(f_, "%10.3f  # %s\n", ms, text.c_str());
  std::fflush(f_);
}

}  // namespace cardsim
