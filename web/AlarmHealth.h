// The alarm system's health figures (after ISA-18.2 and EEMUA 191) over a
// window of time: how many episodes come, floods, chattering and standing
// alarms, how fast operators acknowledge, what is shelved. A pure function.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive/Episode.h"

namespace tmx::web {

constexpr double healthIntervalSeconds = 600;   // the rate's interval
constexpr int floodEpisodes = 10;               // more than this in one interval
constexpr double chatterSeconds = 60;           // openings this close together
constexpr int chatterOpenings = 3;              // at least this many of them
constexpr double standingSeconds = 24 * 3600.0; // active longer than this

struct AlarmHealth
{
  // New episodes per interval, over the intervals from `from` to `now`.
  double meanPerInterval = 0;
  int mostPerInterval = 0;
  int intervals = 0;
  double floodShare = 0; // of the intervals, 0..1

  // An alarm (kind, housing, source) opened at least chatterOpenings times
  // within chatterSeconds.
  struct Chattering
  {
    std::string kind;
    std::optional<int> housing;
    std::string source;
    int openings = 0; // in the window
    int burst = 0;    // the most within chatterSeconds
  };
  std::vector<Chattering> chattering;

  std::vector<std::int64_t> standing; // ids, oldest first

  // Opening to acknowledgement, seconds, of the episodes acknowledged.
  std::optional<double> medianToAcknowledge;
  std::optional<double> longestToAcknowledge;
  int unacknowledged = 0;

  int shelvedNow = 0;
};

// The figures over `episodes`: those opened from `from` on and those
// current at `now`, in any order; an episode given twice (same id) counts
// once. Rates count the episodes opened in [from, now].
AlarmHealth alarmHealth(const std::vector<archive::Episode> &episodes, double from, double now);

} // namespace tmx::web
