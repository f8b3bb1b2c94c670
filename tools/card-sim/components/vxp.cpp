// The VXP video processor of the simulated card.
//
// What the card does
// ------------------
// The VXP runs an ISP service in its boot ROM.  The updater talks to it in
// "=G" frames (isp_frame.h); every request is answered by one frame, a
// millisecond later (--vxp-answer-ms):
//
//   request                      header  answer
//   driver write                 0x950D  ack; 16 bytes stored at segment*16 + offset
//                                        of the 1 MiB driver memory
//   driver call                  0x3802  ack when a known driver lies at the entry
//                                        segment*16 + offset: it starts running
//   ISP mode                     0x5502  ack.  Operation 0x0100 (program) erases the
//                                        range and sets the current address to its
//                                        start; 0x0200 (read back) sets the address
//   ISP mode status              0x0632  0x2632: word 1 = operation << 8 | device,
//                                        words 2, 3 = current address low, high
//   flash write                  0xF501  ack; 32 bytes programmed at the current
//                                        address, which moves on by 32
//   flash read                   0x0639  0xF73A: 16 data words from the current
//                                        address, which moves on by 32
//   device name                  0x0633  0x5633: 12 characters in words 1..6, of each
//                                        word the high byte first
//   status                       0x062F  0xD62F: word 1 = OSD load status << 8 |
//                                        configuration status, word 2 = device type,
//                                        word 14 = memory (bits 14..8) and flash
//                                        (bits 7..0) detection
//   calibration read             0x161A  0x261A: words 1, 2 = the request's, word 3 =
//                                        the calibration bits (0x005E,0x0B06: OSD
//                                        memory; 0x007C,0x0005: video memory)
//
// An ack is id 0x001 with word 1 = the acknowledged id (0x0001 0x0501 ...).
// A refusal is a NACK: id 0x002, word 1 = the refused id, word 2 = why:
//   0x0001 frame length wrong        0x0005 bad parameter (operation, device)
//   0x0002 checksum wrong            0x0006 not in the ISP mode the request needs
//   0x0003 unknown request           0x0007 address outside the range or device
//   0x0004 no driver for the device  0x1234 GSPI time-out (injected only)
//
// Drivers.  A driver is recognised by the ASCII tag at its entry address
// (0x800 as the updater calls it): "SFDRIVER" programs serial flash device 1,
// "FDRIVER" parallel flash devices 5 and 7.  An ISP mode program request for
// a device that the running driver does not know (or with no driver) is
// refused.  Reading back needs no driver: the ROM service reads every device
// (so VERIFY works after VIPER's closing reset), unless
// --vxp-read-needs-driver is given; a running driver that does not know the
// device refuses to read it.
//
// Flash devices: 1 = 1 MiB serial flash, 5 and 7 = 2 MiB parallel flash,
// 2, 3, 4, 6 = 512 KiB.  Erased bytes are 0xFF; programming can only clear
// bits (new = old AND data), as on a real flash, so data written over
// unerased flash comes out wrong.  An erase clears exactly the requested
// range, byte for byte, and its answer comes after a time proportional to
// the range (--vxp-erase-ms for a whole device).  A block must start inside
// the range of the last ISP mode request and lie inside the device.
//
// State.  Each device is kept as flash1.bin ... flash7.bin in the --state
// directory, trimmed: the file holds the device from address 0 up to the
// end of the highest block programmed (bytes past the end of the file are
// erased, 0xFF), so after programming an image onto an erased device the
// file is the image, padded with 0xFF to a whole block.  A test may prepare
// such a file before starting card-sim.  Every block is written through to
// the file at once.  The driver memory, the running driver and the ISP mode
// live in RAM: they are lost when card-sim stops (a power cycle).
//
// Micro commands (each answered "=M*"; any other letter "=M~"):
//   "=MP\r"  holds the VXP in reset: the driver stops; frames get no answer
//   "=MR\r"  releases it: the ROM ISP service restarts with the driver memory
//            cleared and no driver running
//   "=MA\r"  ends the flash job: the ISP mode closes and the VXP is held in
//            reset (the first half of the reset that ends a job)
//   "=ME\r"  ends the VXP work: the driver stops, the ISP mode closes
//
// Fault injection
// ---------------
//   --vxp-fault KIND[=VALUE]@WHICH     (repeatable)
//   --micro-fault KIND[=VALUE]@WHICH   (repeatable)
//
// WHICH as faults.h describes it.  ISP exchange kinds: driver-write,
// driver-call, mode, mode-status, flash-write, flash-read, device-name,
// status, calibration, other (a frame the VXP cannot place).  flash-write
// and flash-read know their place in the transfer (first, middle, last):
// devices 5 and 7 are programmed data first, header last.  Micro command
// exchanges: the letter (P, R, A, E, ...).
//
// ISP fault kinds.  These refuse the request, which is not carried out (a
// refused flash write leaves the address at the block, so the updater's
// recovery, a status request and an ISP mode request from the block's
// address, lets it write the block again):
//   nack         NACK with word 2 = 0x1234 (GSPI time-out)
//   garbled[=ID] a NACK whose id is damaged on the line into ID (default
//                0x003) with the checksum left as it was: it looks like an
//                acceptance with a bad checksum
//   echo         the request's own frame comes back (a loop-back)
//   silence      no answer at all
// These carry the request out and spoil the answer:
//   badsum       the checksum word is off by one
//   wronglen     one word too many after the checksum
//   noise[=N]    N junk bytes (default 8) before the frame
//   cut          the first half of the frame, then the whole frame
//   wrongdev[=D] an ISP mode status answer names device D (default: another one)
//   otherid[=ID] the answer's id is ID (default 0x73B); a flash read answered
//                so does not move the address, so the updater's re-read gets
//                the same block
//   short[=W]    a flash read answer with only W data words (default 8), its
//                count field and checksum consistent; the read address moves
//                on by those W words
//   noprogram[=W] a flash write is acknowledged but its word W (default 0)
//                does not program: the flash keeps what it held
//   slow[=MS]    the answer comes MS ms late (default 4000: one read time-out)
//   stall[=MS]   the card stops reading the line for MS ms and answers then;
//                without MS it stops for good and never answers
//   vanish       the line drops (a new pseudo-terminal) before the answer
// Micro fault kinds; the first four leave the command not carried out:
//   silence      no answer
//   unknown      "=M~" (not recognised)
//   invalid[=C]  "=M" and the character C (default '?')
//   echo         the command itself comes back
//   noise[=N]    junk before "=M*"
//   slow[=MS]    carried out, "=M*" comes MS ms late (default 15000: one of
//                the updater's 10 s waits runs out first)
//   stall[=MS], vanish   as for ISP frames, after the command was carried out
//
// Examples: --vxp-fault nack@flash-write:3x7 (one block refused seven times),
// --vxp-fault garbled@flash-write:last, --vxp-fault short@flash-read:middle,
// --vxp-fault echo@7, --micro-fault silence@R:2 (the second "=MR\r").
//
// Status report fields (--status-...): name (12 characters, padded with
// blanks), type, osd (OSD load status code), config (configuration status
// code; without it 0 "Insystem program mode" while a driver runs, else 2
// "Configuration complete"), memory (word 14), osd-calibration,
// video-calibration.
#include "components/vxp.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "components/isp_frame.h"

namespace cardsim {
namespace {

constexpr uint16_t kDriverWrite = 0x950D;
constexpr uint16_t kDriverCall = 0x3802;
constexpr uint16_t kIspMode = 0x5502;
constexpr uint16_t kModeStatus = 0x0632;
constexpr uint16_t kFlashWrite = 0xF501;
constexpr uint16_t kFlashRead = 0x0639;
constexpr uint16_t kDeviceName = 0x0633;
constexpr uint16_t kStatus = 0x062F;
constexpr uint16_t kCalibration = 0x161A;

constexpr uint16_t kAckId = 0x001;
constexpr uint16_t kNackId = 0x002;
constexpr uint16_t kReadAnswerId = 0x73A;

constexpr uint16_t kProgram = 0x0100;
constexpr uint16_t kReadBack = 0x0200;

// Why a request is refused (word 2 of the NACK).
constexpr uint16_t kBadLength = 0x0001;
constexpr uint16_t kBadChecksum = 0x0002;
constexpr uint16_t kUnknownRequest = 0x0003;
constexpr uint16_t kNoDriver = 0x0004;
constexpr uint16_t kBadParameter = 0x0005;
constexpr uint16_t kWrongMode = 0x0006;
constexpr uint16_t kOutOfRange = 0x0007;
constexpr uint16_t kGspiTimeout = 0x1234;

constexpr uint32_t kDriverMemory = 0x100000;  // 1 MiB, segment:offset reach
constexpr uint32_t kBlock = 32;
constexpr uint32_t kHeader = 0x100;  // devices 5 and 7: the header before the data

struct Kind {
  uint16_t header;
  const char* name;
};
const Kind kKinds[] = {
    {kDriverWrite, "driver-write"}, {kDriverCall, "driver-call"}, {kIspMode, "mode"},
    {kModeStatus, "mode-status"},   {kFlashWrite, "flash-write"}, {kFlashRead, "flash-read"},
    {kDeviceName, "device-name"},   {kStatus, "status"},          {kCalibration, "calibration"},
};

const char* kindName(uint16_t header) {
  for (const Kind& k : kKinds)
    if (k.header == header) return k.name;
  return "other";
}

bool parseNumber(const std::string& s, long* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  long n = std::strtol(s.c_str(), &end, 0);
  if (*end != '\0' || n < 0) return false;
  *out = n;
  return true;
}

std::string hex(uint32_t v, int width = 4) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", width, static_cast<unsigned>(v));
  return text;
}

}  // namespace

// ----------------------------------------------------------------- model --

std::size_t vxpFlashSize(int device) {
  switch (device) {
    case 1: return 0x100000;
    case 2: case 3: case 4: case 6: return 0x80000;
    case 5: case 7: return 0x200000;
    default: return 0;
  }
}

std::string vxpFlashFile(int device) { return "flash" + std::to_string(device) + ".bin"; }

namespace {

struct Answer {
  std::vector<uint16_t> words;  // header and parameters, the checksum comes later
  Ms delay = 0;                 // beyond the usual answer time
};

Answer ack(uint16_t id) { return Answer{{kAckId, id}, 0}; }
Answer nack(uint16_t id, uint16_t why) { return Answer{{static_cast<uint16_t>(0x1000 | kNackId), id, why}, 0}; }

struct FlashDevice {
  std::vector<uint8_t> bytes;  // empty until first used
  std::size_t extent = 0;      // length of the file that keeps it
  bool unsaved = false;        // the state directory's copy lags behind
};

}  // namespace

struct Vxp::Model {
  explicit Model(CardContext& c) : card(c) {}

  CardContext& card;
  Ms answerMs = 1;
  Ms eraseMs = 2000;
  bool readNeedsDriver = false;

  bool inReset = false;
  std::vector<uint8_t> driverMemory;  // empty: cleared
  std::string driver;                 // tag of the running driver, empty: none
  std::vector<int> driverDevices;
  uint16_t operation = 0;  // ISP mode: 0 none, kProgram, kReadBack
  int device = 0;
  uint32_t address = 0;
  uint32_t rangeEnd = 0;
  FlashDevice flash[8];

  // The transfer that flash writes and reads belong to, so that a fault
  // can pick its first, middle or last block.  Devices 5 and 7 are
  // programmed data first (from 0x100, the request that erases them), then
  // the 256-byte header; everything else runs from 0 to the end.
  uint32_t jobEnd = 0;
  bool headerLast = false;

  void startsTransfer(uint16_t op, int d, uint32_t start, uint32_t end) {
    if (op == kProgram && (d == 5 || d == 7)) {
      if (start == kHeader) {
        jobEnd = end;
        headerLast = true;
      }
    } else if (start == 0) {
      jobEnd = end;
      headerLast = false;
    }
  }

  // The block at the current address as an exchange of kind `name`.
  Exchange block(const char* name, uint16_t needs) const {
    Exchange e{name};
    if (operation != needs || jobEnd == 0) return e;
    const long dataBlocks = headerLast ? static_cast<long>((jobEnd - kHeader + kBlock - 1) / kBlock) : 0;
    if (headerLast) {
      e.total = dataBlocks + static_cast<long>(kHeader / kBlock);
      e.index = address >= kHeader ? static_cast<long>((address - kHeader) / kBlock)
                                   : dataBlocks + static_cast<long>(address / kBlock);
    } else {
      e.total = static_cast<long>((jobEnd + kBlock - 1) / kBlock);
      e.index = static_cast<long>(address / kBlock);
    }
    if (e.index >= e.total) e.index = e.total = -1;
    return e;
  }

  // ---- flash and its file
  FlashDevice& dev(int d) {
    FlashDevice& f = flash[d];
    if (f.bytes.empty()) {
      f.bytes.assign(vxpFlashSize(d), 0xFF);
      auto stored = card.state.load(vxpFlashFile(d));
      if (stored) {
        f.extent = std::min(stored->size(), f.bytes.size());
        std::copy(stored->begin(), stored->begin() + static_cast<std::ptrdiff_t>(f.extent), f.bytes.begin());
      }
    }
    return f;
  }

  void saveDevice(int d) {
    FlashDevice& f = flash[d];
    card.state.save(vxpFlashFile(d),
                    std::vector<uint8_t>(f.bytes.begin(), f.bytes.begin() + static_cast<std::ptrdiff_t>(f.extent)));
    f.unsaved = false;
  }

  // Brings the state directory's own copy up to date (its file already is).
  void sync() {
    for (int d = 1; d <= 7; ++d)
      if (flash[d].unsaved) saveDevice(d);
  }

  void erase(int d, uint32_t from, uint32_t to) {
    FlashDevice& f = dev(d);
    std::fill(f.bytes.begin() + from, f.bytes.begin() + to, 0xFF);
    if (to >= f.extent) f.extent = std::min<std::size_t>(f.extent, from);
    saveDevice(d);
  }

  // Programs one block and writes it through to the device's file, so
  // that the file is right whenever the updater stops.
  void program(int d, uint32_t at, const uint8_t* data, uint32_t n) {
    FlashDevice& f = dev(d);
    for (uint32_t i = 0; i < n; ++i) f.bytes[at + i] &= data[i];
    std::size_t oldExtent = f.extent;
    f.extent = std::max<std::size_t>(f.extent, at + n);
    f.unsaved = true;
    std::string path = card.state.pathOf(vxpFlashFile(d));
    if (path.empty()) return;
    FILE* file = std::fopen(path.c_str(), "r+b");
    if (!file) file = std::fopen(path.c_str(), "w+b");
    if (!file) return;
    std::size_t from = std::min<std::size_t>(oldExtent, at);
    if (std::fseek(file, static_cast<long>(from), SEEK_SET) == 0)
      std::fwrite(f.bytes.data() + from, 1, at + n - from, file);
    std::fclose(file);
  }

  // ---- run state
  void stopDriver() {
    driver.clear();
    driverDevices.clear();
    operation = 0;
    device = 0;
    address = rangeEnd = 0;
  }

  bool driverKnows(int d) const {
    return std::find(driverDevices.begin(), driverDevices.end(), d) != driverDevices.end();
  }

  // ---- requests
  Answer handle(const std::vector<uint16_t>& m, Wire& w);
  Answer driverWrite(const std::vector<uint16_t>& m, Wire& w);
  Answer driverCall(const std::vector<uint16_t>& m, Wire& w);
  Answer ispMode(const std::vector<uint16_t>& m, Wire& w);
  Answer modeStatus(Wire& w);
  Answer flashWrite(const std::vector<uint16_t>& m, Wire& w);
  Answer flashRead(Wire& w);
  Answer deviceName(Wire& w);
  Answer status(Wire& w);
  Answer calibration(const std::vector<uint16_t>& m, Wire& w);

  Answer refuse(uint16_t id, uint16_t why, const std::string& text, Wire& w) {
    w.note("ISP NACK " + hex(id, 3) + ": " + text);
    return nack(id, why);
  }
};

Answer Vxp::Model::handle(const std::vector<uint16_t>& m, Wire& w) {
  switch (m[0]) {
    case kDriverWrite: return driverWrite(m, w);
    case kDriverCall: return driverCall(m, w);
    case kIspMode: return ispMode(m, w);
    case kModeStatus: return modeStatus(w);
    case kFlashWrite: return flashWrite(m, w);
    case kFlashRead: return flashRead(w);
    case kDeviceName: return deviceName(w);
    case kStatus: return status(w);
    case kCalibration: return calibration(m, w);
    default: return refuse(isp::idOf(m[0]), kUnknownRequest, "unknown request " + hex(m[0]), w);
  }
}

Answer Vxp::Model::driverWrite(const std::vector<uint16_t>& m, Wire& w) {
  uint32_t at = static_cast<uint32_t>(m[1]) * 16 + m[2];
  if (at + 16 > kDriverMemory)
    return refuse(isp::idOf(kDriverWrite), kOutOfRange, "driver write beyond the driver memory", w);
  w.note("ISP driver write " + hex(at));
  if (driverMemory.empty()) driverMemory.assign(kDriverMemory, 0);
  for (int i = 0; i < 8; ++i) {
    driverMemory[at + 2 * i] = static_cast<uint8_t>(m[3 + i] & 0xFF);
    driverMemory[at + 2 * i + 1] = static_cast<uint8_t>(m[3 + i] >> 8);
  }
  return ack(isp::idOf(kDriverWrite));
}

Answer Vxp::Model::driverCall(const std::vector<uint16_t>& m, Wire& w) {
  uint32_t entry = static_cast<uint32_t>(m[1]) * 16 + m[2];
  auto tagAt = [&](const char* tag) {
    std::size_t n = std::strlen(tag);
    return !driverMemory.empty() && entry + n <= kDriverMemory &&
           std::memcmp(driverMemory.data() + entry, tag, n) == 0;
  };
  stopDriver();
  if (tagAt("SFDRIVER")) {
    driver = "SFDRIVER";
    driverDevices = {1};
    w.note("ISP driver call " + hex(entry) + ": SFDRIVER runs, programs device 1");
  } else if (tagAt("FDRIVER")) {
    driver = "FDRIVER";
    driverDevices = {5, 7};
    w.note("ISP driver call " + hex(entry) + ": FDRIVER runs, programs devices 5 and 7");
  } else {
    return refuse(isp::idOf(kDriverCall), kNoDriver, "driver call " + hex(entry) + ": no known driver there", w);
  }
  return ack(isp::idOf(kDriverCall));
}

Answer Vxp::Model::ispMode(const std::vector<uint16_t>& m, Wire& w) {
  const uint16_t id = isp::idOf(kIspMode);
  uint16_t op = m[1];
  int d = m[2];
  uint32_t start = m[3] | static_cast<uint32_t>(m[4]) << 16;
  uint32_t count = m[5] | static_cast<uint32_t>(m[6]) << 16;
  operation = 0;  // a refused request leaves no ISP mode behind
  device = 0;
  address = rangeEnd = 0;
  if (op != kProgram && op != kReadBack) return refuse(id, kBadParameter, "ISP mode operation " + hex(op), w);
  std::size_t size = vxpFlashSize(d);
  if (size == 0) return refuse(id, kBadParameter, "no flash device " + std::to_string(d), w);
  if (start > size || count > size - start)
    return refuse(id, kOutOfRange,
                  "range " + hex(start, 1) + " + " + std::to_string(count) + " bytes outside device " +
                      std::to_string(d),
                  w);
  const char* what = op == kProgram ? "program" : "read back";
  if (op == kProgram || readNeedsDriver || !driver.empty()) {
    if (!driverKnows(d))
      return refuse(id, kNoDriver,
                    std::string("ISP mode ") + what + " device " + std::to_string(d) + ": " +
                        (driver.empty() ? "no driver running" : driver + " does not know the device"),
                    w);
  }
  char text[128];
  std::snprintf(text, sizeof text, "ISP mode %s device %d from 0x%X, %lu bytes%s", what, d,
                static_cast<unsigned>(start), static_cast<unsigned long>(count),
                op == kProgram ? " (erased)" : "");
  w.note(text);
  operation = op;
  device = d;
  address = start;
  rangeEnd = start + count;
  startsTransfer(op, d, start, rangeEnd);
  Answer a = ack(id);
  if (op == kProgram) {
    erase(d, start, start + count);
    a.delay = static_cast<Ms>(static_cast<double>(eraseMs) * count / size);
  } else {
    sync();
  }
  return a;
}

Answer Vxp::Model::modeStatus(Wire& w) {
  char text[96];
  std::snprintf(text, sizeof text, "ISP mode status: device %d, %s, address 0x%08X", device,
                operation == kProgram ? "program" : operation == kReadBack ? "read back" : "no ISP mode",
                static_cast<unsigned>(address));
  w.note(text);
  uint16_t op = static_cast<uint16_t>(operation >> 8);
  return Answer{{static_cast<uint16_t>(0x2000 | isp::idOf(kModeStatus)), static_cast<uint16_t>(op << 8 | device),
                 static_cast<uint16_t>(address & 0xFFFF), static_cast<uint16_t>(address >> 16)},
                0};
}

Answer Vxp::Model::flashWrite(const std::vector<uint16_t>& m, Wire& w) {
  const uint16_t id = isp::idOf(kFlashWrite);
  if (operation != kProgram) return refuse(id, kWrongMode, "flash write without ISP program mode", w);
  if (address >= rangeEnd || address + kBlock > vxpFlashSize(device))
    return refuse(id, kOutOfRange, "flash write " + hex(address, 8) + " outside the range", w);
  w.note("ISP flash write " + hex(address, 8));
  std::vector<uint8_t> block = isp::toBytes(std::vector<uint16_t>(m.begin() + 1, m.begin() + 17));
  program(device, address, block.data(), kBlock);
  address += kBlock;
  return ack(id);
}

Answer Vxp::Model::flashRead(Wire& w) {
  const uint16_t id = isp::idOf(kFlashRead);
  if (operation != kReadBack) return refuse(id, kWrongMode, "flash read without ISP read back mode", w);
  if (address >= rangeEnd || address + kBlock > vxpFlashSize(device))
    return refuse(id, kOutOfRange, "flash read " + hex(address, 8) + " outside the range", w);
  w.note("ISP flash read " + hex(address, 8));
  const FlashDevice& f = dev(device);
  Answer a{{static_cast<uint16_t>(0xF000 | kReadAnswerId)}, 0};
  for (uint32_t i = 0; i < kBlock; i += 2)
    a.words.push_back(static_cast<uint16_t>(f.bytes[address + i] | f.bytes[address + i + 1] << 8));
  address += kBlock;
  return a;
}

Answer Vxp::Model::deviceName(Wire& w) {
  std::string name = card.options.get("status-name", "VXP GF9350");
  name.resize(12, ' ');
  w.note("ISP device name: " + name);
  Answer a{{static_cast<uint16_t>(0x5000 | isp::idOf(kDeviceName))}, 0};
  for (int i = 0; i < 6; ++i)
    a.words.push_back(static_cast<uint16_t>(static_cast<uint8_t>(name[2 * i]) << 8 | static_cast<uint8_t>(name[2 * i + 1])));
  return a;
}

Answer Vxp::Model::status(Wire& w) {
  const Options& o = card.options;
  long config = o.getInt("status-config", driver.empty() ? 2 : 0);
  long osd = o.getInt("status-osd", 0);
  Answer a{std::vector<uint16_t>(15, 0), 0};
  a.words[0] = static_cast<uint16_t>(0xD000 | isp::idOf(kStatus));
  a.words[1] = static_cast<uint16_t>((osd & 0xFF) << 8 | (config & 0xFF));
  a.words[2] = static_cast<uint16_t>(o.getInt("status-type", 0x9350));
  a.words[14] = static_cast<uint16_t>(o.getInt("status-memory", 0x67A3));
  char text[96];
  std::snprintf(text, sizeof text, "ISP status: OSD load %ld, configuration %ld, type 0x%04X, detection 0x%04X",
                osd & 0xFF, config & 0xFF, a.words[2], a.words[14]);
  w.note(text);
  return a;
}

Answer Vxp::Model::calibration(const std::vector<uint16_t>& m, Wire& w) {
  uint16_t bits = 0;
  const char* what = "unknown memory";
  if (m[1] == 0x005E && m[2] == 0x0B06) {
    what = "OSD memory";
    bits = static_cast<uint16_t>(card.options.getInt("status-osd-calibration", 0x000F));
  } else if (m[1] == 0x007C && m[2] == 0x0005) {
    what = "video memory";
    bits = static_cast<uint16_t>(card.options.getInt("status-video-calibration", 0x03FF));
  }
  w.note(std::string("ISP calibration read, ") + what + ": " + hex(bits));
  return Answer{{static_cast<uint16_t>(0x2000 | isp::idOf(kCalibration)), m[1], m[2], bits}, 0};
}

// ------------------------------------------------------------ the VXP --

Vxp::Vxp(CardContext& card) : m_(std::make_unique<Model>(card)) {
  const Options& o = card.options;
  for (const char* name : {"vxp-answer-ms", "vxp-erase-ms", "status-type", "status-osd", "status-config",
                           "status-memory", "status-osd-calibration", "status-video-calibration"}) {
    long n = 0;
    if (o.has(name) && !parseNumber(o.get(name), &n)) {
      std::fprintf(stderr, "card-sim: --%s needs a number from 0, not '%s'\n", name, o.get(name).c_str());
      std::exit(2);
    }
  }
  m_->answerMs = static_cast<Ms>(o.getInt("vxp-answer-ms", 1));
  m_->eraseMs = static_cast<Ms>(o.getInt("vxp-erase-ms", 2000));
  m_->readNeedsDriver = o.has("vxp-read-needs-driver");
}

Vxp::~Vxp() { m_->sync(); }

void Vxp::onFrame(const std::vector<uint8_t>& encoded, Wire& w) {
  Model& m = *m_;
  std::vector<uint8_t> bytes;
  bool decoded = isp::decode(encoded, &bytes);
  uint16_t header = bytes.size() >= 2 ? static_cast<uint16_t>(bytes[0] | bytes[1] << 8) : 0;
  const char* kind = decoded && bytes.size() >= 2 ? kindName(header) : "other";
  Exchange exchange{kind};
  if (header == kFlashWrite) exchange = m.block(kind, kProgram);
  if (header == kFlashRead) exchange = m.block(kind, kReadBack);

  if (m.inReset) {
    w.note("ISP frame while the VXP is held in reset: no answer");
    return;
  }
  const Fault* fault = m.card.faults(vxpFaultFamily()).next(exchange, w);
  const std::string k = fault ? fault->kind : "";
  if (k == "silence") return;
  if (k == "echo") {
    std::vector<uint8_t> loop{'=', 'G'};
    loop.insert(loop.end(), encoded.begin(), encoded.end());
    loop.push_back('\r');
    w.send(loop.data(), loop.size(), m.answerMs);
    return;
  }

  Answer a;
  std::vector<uint16_t> message = isp::toWords(bytes);
  uint16_t id = isp::idOf(header);
  if (!decoded || bytes.size() % 2 != 0 || message.size() < 3 || message.size() != isp::wordsOf(header)) {
    char text[128];
    std::snprintf(text, sizeof text, "frame of %zu bytes, header %s announces %zu", bytes.size(),
                  hex(header).c_str(), 2 * isp::wordsOf(header));
    a = m.refuse(id, kBadLength, text, w);
  } else if (!isp::checksumOk(message)) {
    a = m.refuse(id, kBadChecksum, "checksum wrong in " + hex(header) + " request", w);
  } else if (k == "nack" || k == "garbled") {
    a = nack(id, kGspiTimeout);
  } else {
    uint32_t addressBefore = m.address;
    if (k == "noprogram" && header == kFlashWrite) {
      // Programming clears bits: an all-ones word leaves the flash as it was.
      const long word = faultValue(*fault, 0) % 16;
      message[1 + static_cast<std::size_t>(word)] = 0xFFFF;
      w.note("flash word " + std::to_string(word) + " of the block does not program");
    }
    a = m.handle(message, w);
    if (k == "otherid" && header == kFlashRead) m.address = addressBefore;
    if (k == "short" && header == kFlashRead && a.words.size() > 2) {
      // The VXP sends fewer words and its read pointer moves on by those.
      const std::size_t words = static_cast<std::size_t>(std::max(1L, std::min(15L, faultValue(*fault, 8))));
      a.words.resize(1 + words);
      a.words[0] = static_cast<uint16_t>((words - 1) << 12 | isp::idOf(a.words[0]));
      m.address = addressBefore + static_cast<uint32_t>(2 * words);
    }
  }

  if (k == "wrongdev" && header == kModeStatus && a.words.size() > 1) {
    int d = fault->value >= 0 ? static_cast<int>(fault->value) : m.device % 7 + 1;
    a.words[1] = static_cast<uint16_t>((a.words[1] & 0xFF00) | (d & 0xFF));
  }
  if (k == "otherid")
    a.words[0] = static_cast<uint16_t>((a.words[0] & 0xF000) | ((fault->value >= 0 ? fault->value : 0x73B) & 0x0FFF));
  std::vector<uint16_t> sealed = isp::sealed(a.words);
  if (k == "badsum") sealed.back() = static_cast<uint16_t>(sealed.back() + 1);
  if (k == "wronglen") sealed.push_back(0x0000);
  if (k == "garbled") {
    // The refusal's id is damaged on the line and its checksum no longer
    // fits: an answer that looks like an acceptance with a bad checksum.
    sealed[0] = static_cast<uint16_t>((sealed[0] & 0xF000) | (faultValue(*fault, 0x003) & 0x0FFF));
    w.note("refusal garbled into header " + hex(sealed[0]));
  }
  std::vector<uint8_t> out = isp::frame(sealed);
  if (k == "cut") {
    std::vector<uint8_t> cut(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(out.size() / 2));
    out.insert(out.begin(), cut.begin(), cut.end());
  }
  if (k == "noise") {
    std::vector<uint8_t> noise = noiseBytes(faultValue(*fault, 8));
    out.insert(out.begin(), noise.begin(), noise.end());
  }
  Ms delay = m.answerMs + a.delay;
  if (k == "slow") delay += static_cast<Ms>(faultValue(*fault, 4000));
  if (k == "vanish") return dropLine(w);
  if (k == "stall" && !stallLine(*fault, w, &delay)) return;
  w.send(out.data(), out.size(), delay);
}

void Vxp::onMicroCommand(char letter, Wire& w) {
  Model& m = *m_;
  const std::string command = std::string("=M") + letter;
  Ms delay = m.answerMs;
  const Fault* f = m.card.faults(microFaultFamily()).next(Exchange{std::string(1, letter)}, w);
  const std::string k = f ? f->kind : "";
  if (k == "silence" || k == "unknown" || k == "invalid" || k == "echo") {
    w.note("micro command " + command + " not carried out");
    if (k == "unknown") w.send("=M~", m.answerMs);
    if (k == "invalid") w.send("=M" + std::string(1, static_cast<char>(faultValue(*f, '?'))), m.answerMs);
    if (k == "echo") w.send(command + "\r", m.answerMs);
    return;
  }
  if (k == "slow") delay += static_cast<Ms>(faultValue(*f, 15000));
  if (k == "noise") {
    std::vector<uint8_t> noise = noiseBytes(faultValue(*f, 8));
    w.send(noise.data(), noise.size(), m.answerMs);
  }
  m.sync();
  switch (letter) {
    case 'P':
      m.stopDriver();
      m.inReset = true;
      w.note("micro command =MP: VXP held in reset");
      break;
    case 'R':
      m.stopDriver();
      m.driverMemory.clear();
      m.inReset = false;
      w.note("micro command =MR: VXP released, ROM ISP service restarts, driver memory cleared");
      break;
    case 'A':
      m.stopDriver();
      m.inReset = true;
      w.note("micro command =MA: flash job ended, VXP held in reset");
      break;
    case 'E':
      m.stopDriver();
      w.note("micro command =ME: VXP work ended");
      break;
    default:
      w.note("micro command " + command + ": not known");
      w.send("=M~", delay);
      return;
  }
  if (k == "vanish") return dropLine(w);
  if (k == "stall" && !stallLine(*f, w, &delay)) return;
  w.send("=M*", delay);
}

std::vector<OptionSpec> vxpOptions() {
  return {
      {"vxp-fault", true,
       "KIND[=VALUE]@WHICH: spoil ISP answers (repeatable). KIND: nack (GSPI time-out), garbled[=ID] "
       "(a NACK that looks like an acceptance), echo, silence (these four: not carried out), badsum, "
       "wronglen, noise[=N], cut, wrongdev[=D], otherid[=ID], short[=W] (a read answer of W words), "
       "noprogram[=W] (a written word that does not program), slow[=MS], stall[=MS] (stops reading), "
       "vanish (the line drops). WHICH: N (the N-th frame), KIND (every one), KIND:N, KIND:first, "
       "flash-write or flash-read:middle|last, with xR for R in a row (nack@flash-write:3x7). Request "
       "kinds: driver-write, driver-call, mode, mode-status, flash-write, flash-read, device-name, "
       "status, calibration, other"},
      {"micro-fault", true,
       "KIND[=VALUE]@WHICH: spoil micro command answers (repeatable). KIND: silence, unknown (\"=M~\"), "
       "invalid[=C] (\"=M\" and C, default '?'), echo, all four not carried out; noise[=N], slow[=MS] "
       "(\"=M*\" MS ms late, default 15000), stall[=MS], vanish. WHICH: N, a letter (P, R, A, E), "
       "LETTER:N, with xR for R in a row (silence@R:2)"},
      {"vxp-answer-ms", true, "time the VXP and the micro take to answer, in ms (default 1)"},
      {"vxp-erase-ms", true, "time an erase of a whole flash device takes, in ms; a part takes its share (default 2000)"},
      {"vxp-read-needs-driver", false,
       "reading a flash device back needs a running driver that knows it (default: the ROM service reads any)"},
      {"status-name", true, "device name in the status report, 12 characters (default \"VXP GF9350\" and blanks)"},
      {"status-type", true, "device type word (default 0x9350, printed GF9350)"},
      {"status-osd", true, "OSD load status code (default 0)"},
      {"status-config", true, "configuration status code (default 0 while a driver runs, otherwise 2)"},
      {"status-memory", true,
       "memory and flash detection word: bits 14..8 SDRAM, bits 7..0 CS0..CS7 (default 0x67A3)"},
      {"status-osd-calibration", true, "OSD calibration bits 3..0 (default 0x000F)"},
      {"status-video-calibration", true, "video calibration bits 9..0 (default 0x03FF)"},
  };
}

}  // namespace cardsim
