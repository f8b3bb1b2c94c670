// The one serial link of a run: the open port, its line settings and its
// time-outs, and the byte-level primitives every protocol above it uses.
//
// Whoever talks to the card is handed the link; nothing else touches the
// port.  Every wait here is bounded: reads honour the port's time-outs, a
// wait for a byte ends at its deadline, a drain ends when the line is quiet
// or at its limit, and a write that moves nothing for the stall limit fails.
//
// With a trace (--trace) the link records every byte that passes, both
// ways, and the notes the protocol units add about their steps.  Without
// one, each of those costs a test of a null pointer.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "link/port_name.h"
#include "platform/win32.h"

class NetworkPort;
class ProgressSink;
class TraceLog;

#if defined(__GNUC__)
#define SERIAL_LINK_PRINTF(formatIndex, firstArgument) \
  __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define SERIAL_LINK_PRINTF(formatIndex, firstArgument)
#endif

class SerialLink {
 public:
  // Time-out profiles the modes run under.
  //  polling: a read returns at once with what is waiting, or after 1 ms
  //           with nothing; a write may take 100 ms per byte (start-up,
  //           identification, VIPER).
  //  slice50: every read returns after 50 ms, a write after 50 ms (FPGA, EDID).
  //  quick:   every read and write returns after 1 ms (ALL before its flash
  //           loads).
  static constexpr COMMTIMEOUTS kPolling = {MAXDWORD, MAXDWORD, 1, 100, 0};
  static constexpr COMMTIMEOUTS kSlice50 = {0, 0, 50, 0, 50};
  static constexpr COMMTIMEOUTS kQuick = {0, 0, 1, 0, 1};

  // A write that moves no byte for this long has failed.
  static constexpr DWORD kDefaultStallMs = 3000;

  // `portName` is the name as the operator typed it, upper-cased ("COM7");
  // the device path is "\\.\COM7".  A network form (rfc2217://HOST:PORT,
  // socket://HOST:PORT, or a COM name mapped to one) opens a connection to
  // a console server instead (network_port.h).  Nothing is opened yet.
  explicit SerialLink(const char* portName);
  ~SerialLink();
  SerialLink(const SerialLink&) = delete;
  SerialLink& operator=(const SerialLink&) = delete;

  const char* portName() const { return portName_; }
  const char* devicePath() const { return devicePath_; }

  // Opens the port at 115200 bit/s 8N1, RTS off, no software flow control,
  // with the polling time-outs.  `reopen` false (start-up): the first
  // failing step prints its message and ends the sequence.  `reopen` true
  // (identification after a port failure): every failing step prints its
  // message and the sequence goes on.  True when every step worked.
  bool open(bool reopen = false);
  // Closes and opens again the way `open(true)` does.
  bool reopen();
  // Closes and opens again at `baud`, with the polling time-outs; prints
  // the failing step's message except for a device that cannot be opened.
  bool reopenAt(DWORD baud);
  void close();
  bool isOpen() const { return handle_ != INVALID_HANDLE_VALUE || network_ != nullptr; }
  // The port behind a console server, or nullptr for a local port.
  const NetworkPort* network() const { return network_.get(); }

  // Changes only the bit rate of the open port.
  bool setBaudRate(DWORD rate);
  DWORD baudRate() const { return dcb_.BaudRate; }

  // Applies a time-out profile and keeps it in force until the next one.
  bool setTimeouts(const COMMTIMEOUTS& timeouts);
  const COMMTIMEOUTS& timeouts() const { return timeouts_; }

  // One read under the time-outs in force.  False when the call failed
  // (`*got` is then 0); true with `*got` bytes stored, possibly none.
  bool read(void* buffer, DWORD capacity, DWORD* got);

  // One read that waits at most until `deadline` (a tick count) for the
  // first byte and returns as soon as any byte is there, whatever profile is
  // in force.  False when the call failed.
  bool readUntil(void* buffer, DWORD capacity, DWORD deadline, DWORD* got);

  enum class Wait { kByte, kTimeout, kFailed };
  // Waits until `deadline` for one byte.
  Wait waitByte(unsigned char* byte, DWORD deadline);
  // Waits until `deadline` for one of `count` bytes in `set`; other bytes
  // are dropped.
  Wait waitAnyOf(const unsigned char* set, std::size_t count, DWORD deadline,
                 unsigned char* byte);

  // Reads and drops input until one read under the time-outs in force
  // brings nothing, or `limitMs` has passed.  Returns the bytes dropped.
  std::size_t drain(DWORD limitMs);

  // Writes all `count` bytes, resuming a partial write where it stopped.
  // A failed write call, or writes that move nothing for `stallMs`, end it
  // (false).  `*sent` (when given) receives the bytes that went out.
  bool writeAll(const void* data, std::size_t count, DWORD stallMs = kDefaultStallMs,
                std::size_t* sent = nullptr);
  // One write call of one byte, as the card's key-driven menus expect.
  bool writeByte(unsigned char byte);

  // Bytes that follow each other on the line without a pause, each in a
  // write of its own (a flash block, a kernel).  While a Burst lives, a
  // console server's port sends them to the server a few at a time instead
  // of one TCP segment a byte (NetworkPort::holdWrites); a local port
  // writes every byte at once, as without it.  No wait or pause may fall
  // inside a burst.
  class Burst {
   public:
    explicit Burst(SerialLink& link);
    ~Burst() { end(); }
    Burst(const Burst&) = delete;
    Burst& operator=(const Burst&) = delete;
    // Sends what is gathered; false when it did not all go.
    bool end();

   private:
    SerialLink& link_;
    bool open_ = true;
  };

  // The Win32 code of the latest failed call on the link (ERROR_TIMEOUT for
  // a stalled write), 0 after a call that worked.
  DWORD lastError() const { return lastError_; }

  // The trace that records this link's traffic, or nullptr (the default):
  // owned by the run, it must outlive its use here.
  void setTrace(TraceLog* trace) { trace_ = trace; }
  bool tracing() const { return trace_ != nullptr; }
  // A line about a protocol step in the trace ("ISP request 0632 mode
  // status"); nothing without a trace.  A caller that builds its text
  // first asks tracing() before it does.
  void note(const char* text) {
    if (trace_ != nullptr) traceNote(text);
  }
  void note(const std::string& text) { note(text.c_str()); }
  void notef(const char* format, ...) SERIAL_LINK_PRINTF(2, 3);
  // "`label` `text`" for card text sent or received: "card command #EDID 1".
  void noteText(const char* label, const void* text, std::size_t length) {
    if (trace_ != nullptr) traceLabelled(label, text, length);
  }

  // Where the jobs on this link report their progress besides the console,
  // or nullptr (the default): owned by the run, it must outlive its use.
  void setProgressSink(ProgressSink* sink) { progressSink_ = sink; }
  ProgressSink* progressSink() const { return progressSink_; }

 private:
  void traceNote(const char* text);
  void traceLabelled(const char* label, const void* text, std::size_t length);
  void traceBytes(bool fromUpdater, const void* data, DWORD count);
  void traceFailure(const char* what);

  bool applyTimeouts(const COMMTIMEOUTS& timeouts);
  bool restoreProfile();
  bool readOnce(void* buffer, DWORD capacity, DWORD* got);
  bool configure(bool reopen, DWORD baud, bool quietOpenFailure = false);
  // The calls on the open port, to the device or the network port
  // (serial_link_port.cpp).
  bool configureNetwork(DWORD baud, bool quietOpenFailure);
  BOOL portRead(void* buffer, DWORD capacity, DWORD* got);
  BOOL portWrite(const void* data, DWORD count, DWORD* written);
  BOOL portSetState();
  BOOL portSetTimeouts(COMMTIMEOUTS* timeouts);
  void portPurgeInput();
  void portClose();

  char portName_[256];
  char devicePath_[256];
  PortName target_;
  std::unique_ptr<NetworkPort> network_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  DCB dcb_{};
  COMMTIMEOUTS timeouts_ = kPolling;  // the profile in force
  COMMTIMEOUTS applied_ = kPolling;   // what the port has now
  DWORD lastError_ = 0;
  TraceLog* trace_ = nullptr;
  ProgressSink* progressSink_ = nullptr;
};

// The sentence for a failed open of the port with Win32 code `code`: 2 and 5
// have one; other codes give the empty text.
const char* errorCheck(DWORD code);

// What "Failed to open COMxx :  " is followed by: errorCheck's sentence,
// except for a device that the system refuses this user for want of
// permission ("no permission to use /dev/ttyS6"), which is not a port held
// by another program.
std::string openFailureText(const char* portName, DWORD code);
