// Card identification: "#DEVERSION\r" for the firmware's variant digit and
// version word, "#DEVTYPE\r" for the model, and for a firmware that does
// not know "#DEVTYPE\r" the menu keys CR, '1', '$', to which an old
// firmware answers with its menu and a dead line with nothing.
#include "link/identification.h"

#include <cstdio>
#include <cstring>

#include "common/hint.h"
#include "common/ticks.h"
#include "link/boot_entry.h"
#include "link/command_channel.h"
#include "link/network_port.h"
#include "link/serial_link.h"

const char* const cardModeName[6] = {"DVI TO SDI",  "DL-SDI TO DVI",  "SL-SDI TO DVI",
                                     "HDMI TO SDI", "DL-SDI TO HDMI", "SL-SDI TO HDMI"};

namespace {

const char* const kModelAnswers[6] = {
    "#DEVTYPE DVITOSDI\r",  "#DEVTYPE SDITODVI\r",  "#DEVTYPE SL-SDITODVI\r",
    "#DEVTYPE HDMITOSDI\r", "#DEVTYPE SDITOHDMI\r", "#DEVTYPE SL-SDITOHDMI\r",
};

constexpr int kVersionRequests = 15;
constexpr DWORD kOldFirmwareReplyBytes = 10;  // read once; more than 4 is a menu
constexpr DWORD kPassMs = 1000;               // one identification pass a second at most
constexpr DWORD kLineRate = 115200;

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// The variant digit stands at position 11 of the version answer, the
// version word from position 13 to the first white space; the word is kept
// to 9 characters.  Without a version answer the variant reads 69 ('E') and
// the word begins with 'E'.
void parseVersion(const char* answer, CardIdentity* identity) {
  char* word = identity->firmwareVersion;
  if (std::strncmp(answer, "#DEVERSION", 10) != 0) {
    identity->variant = 69;
    word[0] = 'E';
    return;
  }
  identity->variant = answer[11] - '0';
  const std::size_t length = std::strlen(answer);
  const char* p = answer + (length < 13 ? length : 13);
  while (*p != '\0' && isBlank(*p)) ++p;  // a word is read after any blanks
  std::size_t n = 0;
  while (p[n] != '\0' && !isBlank(p[n]) && n < sizeof identity->firmwareVersion - 1) {
    word[n] = p[n];
    ++n;
  }
  word[n] = '\0';
}

// A card that has not answered for a minute gets one hint: the operator
// may be waiting on a card that is off, or on the wrong port.
class SilenceWatch {
 public:
  static constexpr DWORD kHintAfterMs = 60000;

  explicit SilenceWatch(const SerialLink& link) : link_(link), lastAnswer_(GetTickCount()) {}
  void heard() { lastAnswer_ = GetTickCount(); }
  void check() {
    if (told_ || static_cast<DWORD>(GetTickCount() - lastAnswer_) < kHintAfterMs) return;
    told_ = true;
    printHint("the card has not answered for a minute: check its power, the cable and that it "
              "is on %s; Ctrl-C ends the run",
              link_.portName());
  }

 private:
  const SerialLink& link_;
  DWORD lastAnswer_;
  bool told_ = false;
};

// What the operator was last told about a port that could not be opened
// again, so that the same failure is not printed on every request.
struct ReopenReport {
  bool told = false;
  DWORD code = 0;  // the Win32 code of the failed open that was printed
};

// The port failed under a request (unplugged, or the adapter reset): open
// it afresh.  A quiet attempt comes first; only an open that fails in a new
// way runs the reopen sequence that prints each failing step.
void reopenPort(SerialLink& link, ReopenReport* report) {
  if (link.reopenAt(kLineRate) || link.isOpen()) {
    // Open again (a later set-up step that failed has said so itself).
    report->told = false;
    return;
  }
  const DWORD code = link.lastError();
  if (report->told && report->code == code) return;
  link.reopen();
  report->told = !link.isOpen();
  report->code = code;
}

// The console server closed or reset the connection: a vanished port, which
// ends the run as an unplugged adapter ends a job.  A local adapter is
// opened again here because it comes back under its name when it is plugged
// in again; a server that has ended the session is not dialled again.
bool connectionLost(const SerialLink& link) {
  return link.network() != nullptr && link.network()->lost();
}

// One identification pass.
DevTypeResult identifyOnce(SerialLink& link, CardIdentity* identity, ReopenReport* report,
                           SilenceWatch* silence) {
  char answer[60] = {0};
  if (connectionLost(link)) return DevTypeResult::kPortLost;  // under the start-up's probe

  std::printf("\nNow communicating with the card to obtain version information...");

  int requests = 0;
  SendCmdResult result = SendCmdResult::kNoAnswer;
  do {
    result = SendCmd(link, "#DEVERSION\r", 11, answer, sizeof answer);
    ++requests;
    if (result == SendCmdResult::kAnswer) silence->heard();
    silence->check();
    if (result == SendCmdResult::kPortFailure) {
      if (connectionLost(link)) return DevTypeResult::kPortLost;
      reopenPort(link, report);
    }
  } while (result != SendCmdResult::kAnswer && requests < kVersionRequests);

  parseVersion(answer, identity);
  identity->model = 0;

  std::memset(answer, 0, sizeof answer);
  const SendCmdResult typeResult = SendCmd(link, "#DEVTYPE\r", 9, answer, sizeof answer);
  if (typeResult == SendCmdResult::kAnswer) silence->heard();
  silence->check();
  if (connectionLost(link)) return DevTypeResult::kPortLost;
  if (typeResult == SendCmdResult::kAnswer) {
    for (int model = 0; model < 6; ++model) {
      if (std::strcmp(answer, kModelAnswers[model]) == 0) {
        std::printf("OK");
        identity->model = model + 1;
        return DevTypeResult::kModel;
      }
    }
    std::printf("\nERROR CARD MODEL UNKNOWN");
    return DevTypeResult::kUnknownModel;
  }

  // No answer to the model request: an old firmware answers its menu keys.
  for (unsigned char key : kOldFirmwareMenuKeys) {
    if (!link.writeByte(key))
      return connectionLost(link) ? DevTypeResult::kPortLost : DevTypeResult::kNoCommunication;
    Sleep(kOldFirmwareKeyPauseMs);
  }
  char reply[50];
  DWORD got = 0;
  if (!link.read(reply, kOldFirmwareReplyBytes, &got)) got = 0;
  if (connectionLost(link)) return DevTypeResult::kPortLost;
  if (got > 4) {
    std::printf("\nYou are using an old firmware version...");
    return DevTypeResult::kOldFirmware;
  }
  std::printf("\nError no communication with the device");
  return DevTypeResult::kNoCommunication;
}

}  // namespace

DevTypeResult DevType(SerialLink& link, CardIdentity* identity) {
  ReopenReport report;
  SilenceWatch silence(link);
  return identifyOnce(link, identity, &report, &silence);
}

DevTypeResult identifyCard(SerialLink& link, CardIdentity* identity) {
  ReopenReport report;  // carried over the passes
  SilenceWatch silence(link);
  for (;;) {
    const DWORD passStart = GetTickCount();
    const DevTypeResult result = identifyOnce(link, identity, &report, &silence);
    silence.check();
    if (result != DevTypeResult::kNoCommunication && result != DevTypeResult::kUnknownModel)
      return result;
    // A silent card makes a pass last two minutes; a vanished port or a
    // card that names an unknown model would make it instant.
    const DWORD nextPass = passStart + kPassMs;
    const DWORD now = GetTickCount();
    if (!tickPassed(now, nextPass)) Sleep(static_cast<DWORD>(nextPass - now));
  }
}
