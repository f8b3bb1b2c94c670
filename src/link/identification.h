// Card identification: firmware version ("#DEVERSION\r") and model
// ("#DEVTYPE\r"), and the old firmware that answers neither.
#pragma once

extern const char* const cardModeName[6];
extern int cardVersion;    // variant digit; 2 is a PLUS card; 69 ('E') unread
extern char RDVersion[10]; // firmware version word; 'E...' when unread

enum DevTypeResult {
  kDevNoCommunication = 20,
  kDevOldFirmware = 21,
  kDevUnknownModel = 99,
};

// Asks the card for its version and model.  Returns the model number 1..6,
// or one of DevTypeResult.  May close and reopen the port.
int DevType();
