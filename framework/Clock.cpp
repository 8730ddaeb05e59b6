#include "framework/Clock.h"

#include "framework/MicroTask.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {
const std::chrono::steady_clock::time_point processStart = std::chrono::steady_clock::now();

ClockSource defaultSource;
std::atomic<ClockSource *> currentSource{ nullptr };

ClockSource &source()
{
  ClockSource *s = currentSource.load(std::memory_order_acquire);
  return s != nullptr ? *s : defaultSource;
}
} // namespace

ClockSource::~ClockSource() = default;

std::uint32_t ClockSource::ticks()
{
  auto elapsed = std::chrono::steady_clock::now() - processStart;
  return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

std::time_t ClockSource::wallTime()
{
  return std::time(nullptr);
}

int ClockSource::timedWait(Semaphore &sem, int ms)
{
  return sem.take(ms);
}

void setClockSource(ClockSource *s)
{
  currentSource.store(s, std::memory_order_release);
}

std::uint32_t clockTicks()
{
  return source().ticks();
}

int ticksPerSecond()
{
  return 1000;
}

std::time_t wallClock()
{
  return source().wallTime();
}

int timedWait(Semaphore &sem, int ms)
{
  return source().timedWait(sem, ms);
}

void sleepSeconds(unsigned seconds)
{
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
}

void sleepMilliseconds(unsigned milliseconds)
{
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
