// The process clock (1000 ticks per second, monotonic), the wall clock, the
// timed wait of the framework's tasks and the sleep helpers. Tests
// substitute the clocks and the timed wait through setClockSource.
#pragma once

#include <cstdint>
#include <ctime>

// Milliseconds of elapsed real time since the process started.
std::uint32_t clockTicks();
// Always 1000: one tick is one millisecond.
int ticksPerSecond();
// Seconds since the epoch.
std::time_t wallClock();

class Semaphore;

// Takes sem, waiting at most ms milliseconds (-1: no limit): 0 when taken,
// -1 on time-out, as Semaphore::take. The periodic task paces its passes
// with it.
int timedWait(Semaphore &sem, int ms);

void sleepSeconds(unsigned seconds);
void sleepMilliseconds(unsigned milliseconds);

// Seam for tests: a source replaces either clock and the timed wait, so that
// long periods run without real waiting. Sleeps stay real.
class ClockSource
{
public:
  virtual ~ClockSource();
  virtual std::uint32_t ticks();                 // default: the monotonic process clock
  virtual std::time_t wallTime();                // default: the system's real-time clock
  virtual int timedWait(Semaphore &sem, int ms); // default: sem.take(ms)
};

// Installs a source (not owned); null restores the real clocks.
void setClockSource(ClockSource *source);
