// What tmx-web holds in memory: the last record of each housing (seeded
// from the archive at start) and the housings' limits from the monitor's
// configuration. Safe to use from any thread.
#pragma once

#include <array>
#include <mutex>
#include <optional>

#include "archive/Archive.h"
#include "config/LimitsFile.h"
#include "web/Clock.h"

namespace tmx::web {

static_assert(std::tuple_size<LimitsSet>::value == archive::housingCount, "limits per housing");

// A record is stale after this long without one (three housekeeping
// periods).
constexpr double staleSeconds = 15.0;

class LiveState
{
public:
  explicit LiveState(const Clock &clock);

  // The housing's record is the one that arrived last: a record whose
  // reading time lies behind the one held (a monitor whose clock stepped
  // back) still replaces it, so that one odd record never hides the real
  // ones that follow. Records from the future are refused before this
  // (web/RecordCheck.h).
  void update(const archive::HousekeepingRecord &record);
  std::optional<archive::HousekeepingRecord> last(int housing) const;

  // The housings' limits; without them (the default) no housing has any.
  void setLimits(const LimitsSet &limits);

  // A housing's last record and limits, taken together.
  struct Housing
  {
    std::optional<archive::HousekeepingRecord> last;
    std::optional<HousingLimits> limits;
  };
  Housing housing(int housing) const;

  // The clock's now, Unix seconds.
  double now() const { return unixSeconds(clock_.wall()); }

private:
  const Clock &clock_;
  mutable std::mutex mutex_;
  std::array<std::optional<archive::HousekeepingRecord>, archive::housingCount> last_;
  std::optional<LimitsSet> limits_;
};

} // namespace tmx::web
