// The result of one run as one line of JSON (--json), printed as the run's
// last line so that a script, or a parent updater running one child per
// port, can read it:
//
//   {"version":"2.30","port":"COM7","mode":"VIPER","file":"Device5.bin",
//    "file_size":8192,"file_sha256":"9f86...","card_model":"HDMI TO SDI",
//    "card_variant":2,"card_plus":true,"firmware_version":"3.1",
//    "outcome":"success","exit_status":0,"elapsed_seconds":4.187,
//    "failed_step":null,"message":null}
//
// (on one line).  Every member is always there; what the run did not learn
// is null.  "outcome" is "success" (exit status 0), "refused" (2: the
// command line or a file argument) or "failure" (anything else).
// "failed_step" names where a run that did not succeed ended: "arguments",
// "file", "trace", "open", "identify" or "mode", or a step of the mode:
// "driver", "write" or "verify"; "message" says why.  A run that read a
// flash device back and compared it (VERIFY, --verify) adds
// "mismatch_count" and "first_mismatch_address" (the byte address of the
// first differing word, null when none differs).
#pragma once

#include <chrono>
#include <string>

struct CardIdentity;

class RunReport {
 public:
  // Starts the run's clock.
  explicit RunReport(std::string version);

  void setPort(const char* portName) { port_ = portName; }
  void setMode(const char* keyword) { mode_ = keyword; }
  // The file the run reads or writes; its size and digest are taken when
  // the object is written, so a file the run wrote is described as it ended.
  void setFile(const char* fileName) { file_ = fileName; }
  void setCard(const CardIdentity& card);

  // Where the run stopped short and why.  The first step named stays.
  void stoppedAt(const char* step, std::string message);
  // A remark on a run that succeeded ("No update available.").
  void remark(std::string message) {
    if (step_.empty()) message_ = std::move(message);
  }
  // A flash device was read back: `mismatches` words differ, the first at
  // byte address `firstAddress` (-1: none).
  void setComparison(unsigned long mismatches, long firstAddress) {
    compared_ = true;
    mismatches_ = mismatches;
    firstMismatch_ = firstAddress;
  }
  const std::string& step() const { return step_; }
  const std::string& message() const { return message_; }

  // The JSON object for a run that ends with `exitStatus`: one line, no
  // line end.
  std::string json(int exitStatus) const;

 private:
  std::string version_;
  std::chrono::steady_clock::time_point start_;
  std::string port_, mode_, file_;
  int model_ = 0;  // 1..6; 0 unknown
  int variant_ = -1;
  std::string firmware_;
  std::string step_, message_;
  bool compared_ = false;
  unsigned long mismatches_ = 0;
  long firstMismatch_ = -1;
};
