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
// command line or a file argument), "interrupted" (130: Ctrl-C) or
// "failure" (anything else).  "file_size" and "file_sha256" describe the
// bytes the run took from its file or wrote to it, taken as they passed;
// a run that used none (a refused one) has them null.
// "failed_step" names where a run that did not succeed ended: "arguments",
// "file", "trace", "open", "identify" or "mode", or a step of the mode:
// "driver", "write" or "verify"; "message" says why.  A run that read a
// flash device back and compared it (VERIFY, --verify) adds
// "mismatch_count" and "first_mismatch_address" (the byte address of the
// first differing word, null when none differs).
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "common/sha256.h"

struct CardIdentity;

class RunReport {
 public:
  // Starts the run's clock.
  explicit RunReport(std::string version);

  // Runs after every change, so that what Ctrl-C leaves stays up to date.
  void onChange(std::function<void()> callback) { onChange_ = std::move(callback); }

  void setPort(const char* portName) { port_ = portName; changed(); }
  void setMode(const char* keyword) { mode_ = keyword; changed(); }
  // The step the run is in ("open", "identify", "mode"): where an
  // interrupted run stopped.
  void atStep(const char* step) { current_ = step; changed(); }
  const std::string& currentStep() const { return current_; }
  // The file the run reads or writes.
  void setFile(const char* fileName) { file_ = fileName; changed(); }
  // The size and digest of the bytes used from it or written to it.
  void setFileDigest(const FileDigest& digest) { digest_ = digest; changed(); }
  void setCard(const CardIdentity& card);

  // Where the run stopped short and why.  The first step named stays.
  void stoppedAt(const char* step, std::string message);
  // A remark on a run that succeeded ("No update available.").
  void remark(std::string message) {
    if (step_.empty()) message_ = std::move(message);
    changed();
  }
  // A flash device was read back: `mismatches` words differ, the first at
  // byte address `firstAddress` (-1: none).
  void setComparison(unsigned long mismatches, long firstAddress) {
    compared_ = true;
    mismatches_ = mismatches;
    firstMismatch_ = firstAddress;
    changed();
  }
  const std::string& step() const { return step_; }
  const std::string& message() const { return message_; }

  // The JSON object for a run that ends with `exitStatus`: one line, no
  // line end.
  std::string json(int exitStatus) const;
  // The object of a run that Ctrl-C ends (exit status 130), cut where the
  // elapsed seconds go: `*head` ends with "elapsed_seconds":.
  void interruptedJson(std::string* head, std::string* tail) const;
  // What is known of the card, under the result's names:
  // {"card_model":"HDMI TO SDI","card_plus":true,"firmware_version":"3.1"}.
  std::string cardJson() const;
  std::chrono::steady_clock::time_point start() const { return start_; }

 private:
  void changed() {
    if (onChange_) onChange_();
  }
  std::string render(int exitStatus, double seconds) const;

  std::string version_;
  std::chrono::steady_clock::time_point start_;
  std::string port_, mode_, file_;
  FileDigest digest_;
  int model_ = 0;  // 1..6; 0 unknown
  int variant_ = -1;
  std::string firmware_;
  std::string step_, message_;
  std::string current_;
  std::function<void()> onChange_;
  bool compared_ = false;
  unsigned long mismatches_ = 0;
  long firstMismatch_ = -1;
};

// The result's "outcome" for an exit status: "success" (0), "refused" (2),
// "interrupted" (130), else "failure".
const char* outcomeOf(int exitStatus);
