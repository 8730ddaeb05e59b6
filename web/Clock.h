// Time as tmx-web sees it: steady time for intervals (the subscription's
// back-off and staleness, the ingest's rounds and deletions), wall time for
// what it reports and stores. Tests put a fake clock in its place and
// advance both together.
#pragma once

#include <chrono>

namespace tmx::web {

class Clock
{
public:
  virtual ~Clock() = default;
  virtual std::chrono::steady_clock::time_point steady() const = 0;
  virtual std::chrono::system_clock::time_point wall() const = 0;
};

// The real clocks.
const Clock &systemClock();

// A wall-clock time as Unix seconds.
double unixSeconds(std::chrono::system_clock::time_point t);

} // namespace tmx::web
