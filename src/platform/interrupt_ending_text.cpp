#include "platform/interrupt_ending_text.h"

#include "platform/interrupt_ending.h"

#include <atomic>
#include <cstring>

namespace platform {
namespace interrupt_text {

namespace {

Slot slots[2];
// The slot the handler reads: 0 or 1, -1 for none.  Lock-free, so that a
// signal handler may read it.
std::atomic<int> published{-1};

int64_t nanoseconds(std::chrono::steady_clock::time_point at) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}

bool copyInto(char* to, std::size_t capacity, const std::string& text, std::size_t* length) {
  if (text.size() > capacity) return false;
  std::memcpy(to, text.data(), text.size());
  *length = text.size();
  return true;
}

// `thousandths` as digits with a point before the last three, right-aligned
// in `width` columns: what printf's "%*.3f" makes of a non-negative value.
std::size_t fixed3(int64_t thousandths, std::size_t width, char* out) {
  if (thousandths < 0) thousandths = 0;
  char digits[32];
  std::size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + thousandths % 10);
    thousandths /= 10;
    if (n == 3) digits[n++] = '.';
  } while (thousandths > 0 || n < 5);
  std::size_t at = 0;
  for (std::size_t pad = n; pad < width; ++pad) out[at++] = ' ';
  while (n > 0) out[at++] = digits[--n];
  return at;
}

std::size_t append(char* out, std::size_t at, std::size_t capacity, const char* text,
                   std::size_t length) {
  if (at + length > capacity) return capacity + 1;
  std::memcpy(out + at, text, length);
  return at + length;
}

}  // namespace

void publish(int traceDescriptor, std::chrono::steady_clock::time_point traceStart,
             const std::string& note, const std::string& resultHead,
             std::chrono::steady_clock::time_point resultStart, const std::string& resultTail) {
  const int next = published.load() == 0 ? 1 : 0;
  Slot& slot = slots[next];
  slot.traceDescriptor = traceDescriptor;
  slot.traceStartNs = nanoseconds(traceStart);
  slot.resultStartNs = nanoseconds(resultStart);
  slot.noteLength = slot.headLength = slot.tailLength = 0;
  copyInto(slot.note, sizeof slot.note, note, &slot.noteLength);
  // A result too long for its buffer is left out rather than cut.
  if (!copyInto(slot.head, sizeof slot.head, resultHead, &slot.headLength) ||
      !copyInto(slot.tail, sizeof slot.tail, resultTail, &slot.tailLength))
    slot.headLength = slot.tailLength = 0;
  published.store(next);
}

void clear() { published.store(-1); }

const Slot* current() {
  const int index = published.load();
  return index < 0 ? nullptr : &slots[index];
}

std::size_t traceLine(const Slot& slot, int64_t nowNs, char* out, std::size_t capacity) {
  if (slot.traceDescriptor < 0 || slot.noteLength == 0 || capacity < 16) return 0;
  std::size_t at = fixed3((nowNs - slot.traceStartNs) / 1000, 10, out);
  at = append(out, at, capacity, "  # ", 4);
  at = append(out, at, capacity, slot.note, slot.noteLength);
  at = append(out, at, capacity, "\n", 1);
  return at > capacity ? 0 : at;
}

std::size_t resultLine(const Slot& slot, int64_t nowNs, char* out, std::size_t capacity) {
  if (slot.headLength == 0 || capacity < 1) return 0;
  // A line that was cut short (a progress line) must not swallow the result.
  std::size_t at = append(out, 0, capacity, "\n", 1);
  at = append(out, at, capacity, slot.head, slot.headLength);
  char seconds[32];
  const std::size_t length = fixed3((nowNs - slot.resultStartNs + 500000) / 1000000, 0, seconds);
  at = append(out, at, capacity, seconds, length);
  at = append(out, at, capacity, slot.tail, slot.tailLength);
  at = append(out, at, capacity, "\n", 1);
  return at > capacity ? 0 : at;
}

}  // namespace interrupt_text
// The same on every system: the handler only reads what is published.
void InterruptEnding::set(int traceDescriptor, std::chrono::steady_clock::time_point traceStart,
                          const std::string& note, const std::string& resultHead,
                          std::chrono::steady_clock::time_point resultStart,
                          const std::string& resultTail) {
  interrupt_text::publish(traceDescriptor, traceStart, note, resultHead, resultStart,
                          resultTail);
}

}  // namespace platform
