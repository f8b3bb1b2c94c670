// Card identification: firmware version ("#DEVERSION\r") and model
// ("#DEVTYPE\r"), and the old firmware that answers neither.
#pragma once

class SerialLink;

extern const char* const cardModeName[6];

// What the card told about itself.
struct CardIdentity {
  int model = 0;                // 1..6, an index + 1 into cardModeName; 0 unknown
  int variant = 69;             // variant digit; 2 is a PLUS card; 69 ('E') unread
  char firmwareVersion[10] = {'E', '\0'};  // version word; "E" when unread

  bool plus() const { return variant == 2; }
  bool versionKnown() const { return firmwareVersion[0] != 'E'; }
  // Models with a DVI or HDMI input take an EDID.
  bool hasVideoInput() const { return model == 1 || model == 4; }
};

// What an identification found.  The model itself is in CardIdentity.
enum class DevTypeResult {
  kModel,            // a known model: CardIdentity::model is 1..6
  kNoCommunication,  // no model answer, and no old firmware's menu either
  kOldFirmware,      // the card answered its menu keys, not the model request
  kUnknownModel,     // the card named a model this updater does not know
  kPortLost,         // the console server closed or reset the connection
};

// Asks the card for its version and model and fills `identity`.  Reopens
// the port when a request reported a port failure, except a console
// server's connection that was closed or reset (kPortLost).
DevTypeResult DevType(SerialLink& link, CardIdentity* identity);

// Identifies the card the way the start-up does: DevType again and again
// while the card is silent or names no known model, until it answers (the
// operator ends a run whose card never does).  A pass starts at most once a
// second, so a vanished port does not flood the console or burn the CPU,
// and a port that cannot be reopened is reported once for each new way it
// fails, not on every pass.  Returns DevType's last result: kModel or
// kOldFirmware, or kPortLost for a port behind a console server whose
// connection was closed or reset: that is a vanished port, as an unplugged
// adapter in a job, and the run ends rather than dial the server again.
DevTypeResult identifyCard(SerialLink& link, CardIdentity* identity);
