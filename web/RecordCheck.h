// Which housekeeping records tmx-web believes. Anyone who can push to the
// notifier can send a record, and a monitor with a wrong clock sends many:
// a reading time more than maxAheadSeconds ahead of this machine's clock,
// or before 2000-01-01, would otherwise sit in the live view as the newest
// reading and in the archive beyond every query. Such a record is refused
// from both, counted by reason, and reported once per episode: the first
// refusal of a reason says so, the next record taken ends the episode
// (with how many were refused in it).
//
// A record taken whose reading time lies more than clockStepSeconds behind
// the housing's last one means the monitor's clock stepped back (a time
// server's correction, a clock set at boot): its records now repeat
// reading times that are stored already. That is reported once per step,
// whose episode lasts until the reading times pass the highest one before
// it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "archive/Archive.h"

namespace tmx::web {

constexpr double maxAheadSeconds = 300.0;
// 2000-01-01T00:00:00Z.
constexpr double earliestReading = 946684800.0;
constexpr std::int64_t clockStepSeconds = 10;

class RecordCheck
{
public:
  using Report = std::function<void(const std::string &)>;
  explicit RecordCheck(Report report);

  // Null when the record is taken; otherwise why it is refused: "future"
  // or "past" (the label of tmx_records_refused_total). now: this
  // machine's clock, Unix seconds. Any thread.
  const char *refusal(const archive::HousekeepingRecord &record, double now);

private:
  // The report of a step back of record's housing, if it is one; keeps
  // the housing's times. Caller holds mutex_.
  std::string clockStep(const archive::HousekeepingRecord &record);

  Report report_;
  std::mutex mutex_;
  std::size_t refusedInEpisode_[2] = { 0, 0 }; // future, past
  // Per housing: the last and the highest reading time taken, and whether
  // a step back has been reported and not yet overtaken.
  std::optional<std::int64_t> last_[archive::housingCount], highest_[archive::housingCount];
  bool stepped_[archive::housingCount] = {};
};

} // namespace tmx::web
