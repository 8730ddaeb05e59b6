// The process clock (1000 ticks per second, monotonic), the wall clock and
// the sleep helpers. Tests substitute the clocks through setClockSource.
#pragma once

#include <cstdint>
#include <ctime>

// Milliseconds of elapsed real time since the process started.
std::uint32_t clockTicks();
// Always 1000: one tick is one millisecond.
int ticksPerSecond();
// Seconds since the epoch.
std::time_t wallClock();

void sleepSeconds(unsigned seconds);
void sleepMilliseconds(unsigned milliseconds);

// Seam for tests: a source replaces either clock. Sleeps stay real.
class ClockSource
{
public:
  virtual ~ClockSource();
  virtual std::uint32_t ticks();  // default: the monotonic process clock
  virtual std::time_t wallTime(); // default: the system's real-time clock
};

// Installs a source (not owned); null restores the real clocks.
void setClockSource(ClockSource *source);
