#include "frontend/run_report.h"

#include <cmath>
#include <cstring>

#include "common/json_writer.h"
#include "common/sha256.h"
#include "link/identification.h"

namespace {

// Empty text is what the run did not learn.
Json textOrNull(const std::string& text) { return text.empty() ? Json() : Json(text); }

}  // namespace

const char* outcomeOf(int exitStatus) {
  switch (exitStatus) {
    case 0: return "success";
    case 2: return "refused";
    case 130: return "interrupted";
    default: return "failure";
  }
}

RunReport::RunReport(std::string version)
    : version_(std::move(version)), start_(std::chrono::steady_clock::now()) {}

void RunReport::setCard(const CardIdentity& card) {
  model_ = card.model >= 1 && card.model <= 6 ? card.model : 0;
  // 69 ('E' less '0') stands for a version answer that never came.
  variant_ = card.variant >= 0 && card.variant <= 9 ? card.variant : -1;
  firmware_ = card.versionKnown() ? card.firmwareVersion : "";
  changed();
}

void RunReport::stoppedAt(const char* step, std::string message) {
  if (!step_.empty()) return;
  step_ = step;
  message_ = std::move(message);
  changed();
}

std::string RunReport::json(int exitStatus) const {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  return render(exitStatus, seconds);
}

void RunReport::interruptedJson(std::string* head, std::string* tail) const {
  const std::string text = render(130, 0.0);
  // Keys and strings are escaped, so the member's name occurs once as such.
  const char kMember[] = ",\"elapsed_seconds\":";
  const std::size_t member = text.find(kMember);
  const std::size_t end = text.find(',', member + std::strlen(kMember));
  *head = text.substr(0, member + std::strlen(kMember));
  *tail = text.substr(end);
}

std::string RunReport::cardJson() const {
  Json json = Json::object();
  json["card_model"] = textOrNull(model_ != 0 ? cardModeName[model_ - 1] : "");
  json["card_plus"] = variant_ >= 0 ? Json(variant_ == 2) : Json();
  json["firmware_version"] = textOrNull(firmware_);
  return jsonText(json);
}

std::string RunReport::render(int exitStatus, double seconds) const {
  Json json = Json::object();
  json["version"] = version_;
  json["port"] = textOrNull(port_);
  json["mode"] = textOrNull(mode_);
  json["file"] = textOrNull(file_);
  json["file_size"] = digest_.known ? Json(digest_.size) : Json();
  json["file_sha256"] = textOrNull(digest_.known ? digest_.sha256 : std::string());
  json["card_model"] = textOrNull(model_ != 0 ? cardModeName[model_ - 1] : "");
  json["card_variant"] = variant_ >= 0 ? Json(variant_) : Json();
  json["card_plus"] = variant_ >= 0 ? Json(variant_ == 2) : Json();
  json["firmware_version"] = textOrNull(firmware_);
  json["outcome"] = outcomeOf(exitStatus);
  json["exit_status"] = exitStatus;
  json["elapsed_seconds"] = std::round(seconds * 1000.0) / 1000.0;
  const bool interrupted = exitStatus == 130;
  const std::string& step = interrupted && step_.empty() ? current_ : step_;
  json["failed_step"] = textOrNull(exitStatus != 0 ? step : std::string());
  json["message"] =
      textOrNull(interrupted && step_.empty() ? std::string("interrupted (Ctrl-C)") : message_);
  if (compared_) {
    json["mismatch_count"] = static_cast<uint64_t>(mismatches_);
    json["first_mismatch_address"] =
        firstMismatch_ >= 0 ? Json(static_cast<uint64_t>(firstMismatch_)) : Json();
  }
  return jsonText(json);
}
