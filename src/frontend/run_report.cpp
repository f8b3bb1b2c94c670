#include "frontend/run_report.h"

#include <cmath>
#include <cstring>

#include "common/json_writer.h"
#include "common/sha256.h"
#include "link/identification.h"

namespace {

// Empty text is what the run did not learn.
void textOrNull(JsonWriter& json, const char* key, const std::string& text) {
  json.key(key);
  if (text.empty())
    json.null();
  else
    json.value(text);
}

const char* outcomeOf(int exitStatus) {
  switch (exitStatus) {
    case 0: return "success";
    case 2: return "refused";
    case 130: return "interrupted";
    default: return "failure";
  }
}

}  // namespace

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

std::string RunReport::render(int exitStatus, double seconds) const {
  JsonWriter json;
  json.beginObject();
  json.key("version").value(version_);
  textOrNull(json, "port", port_);
  textOrNull(json, "mode", mode_);
  textOrNull(json, "file", file_);
  json.key("file_size");
  if (digest_.known)
    json.value(digest_.size);
  else
    json.null();
  textOrNull(json, "file_sha256", digest_.known ? digest_.sha256 : std::string());
  textOrNull(json, "card_model", model_ != 0 ? cardModeName[model_ - 1] : "");
  json.key("card_variant");
  if (variant_ >= 0)
    json.value(variant_);
  else
    json.null();
  json.key("card_plus");
  if (variant_ >= 0)
    json.value(variant_ == 2);
  else
    json.null();
  textOrNull(json, "firmware_version", firmware_);
  json.key("outcome").value(outcomeOf(exitStatus));
  json.key("exit_status").value(exitStatus);
  json.key("elapsed_seconds").value(std::round(seconds * 1000.0) / 1000.0);
  const bool interrupted = exitStatus == 130;
  const std::string& step = interrupted && step_.empty() ? current_ : step_;
  textOrNull(json, "failed_step", exitStatus != 0 ? step : std::string());
  textOrNull(json, "message",
             interrupted && step_.empty() ? std::string("interrupted (Ctrl-C)") : message_);
  if (compared_) {
    json.key("mismatch_count").value(static_cast<uint64_t>(mismatches_));
    json.key("first_mismatch_address");
    if (firstMismatch_ >= 0)
      json.value(static_cast<uint64_t>(firstMismatch_));
    else
      json.null();
  }
  json.endObject();
  return json.text();
}
