// A job's progress for the parent of a run over several ports, on the
// report channel: one JSON line {"progress":42.5} each time the whole
// percentage changes, so that a job tells about a hundred lines however
// often its console line moves (the boot programmer's moves with every
// byte).  The percentage is the one the console line shows, to its two
// decimals.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "common/json_writer.h"
#include "common/progress_line.h"

class ProgressReport final : public ProgressSink {
 public:
  // `send` writes one line on the channel.
  explicit ProgressReport(std::function<void(const std::string&)> send)
      : send_(std::move(send)) {}

  void progressed(double percent) override;

  // The percentage of a report line read as JSON; nothing when `report` is
  // no progress report.
  static std::optional<double> percentOf(const Json& report);

 private:
  std::function<void(const std::string&)> send_;
  std::optional<long> lastWhole_;
};
