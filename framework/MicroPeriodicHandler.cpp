#include "framework/MicroPeriodicHandler.h"

#include "framework/Clock.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <numeric>

namespace {
// Longest interval accepted: keeps tick counts within a signed 32-bit int
// (and, at 1000 ticks a second, the pass wait within an int of milliseconds,
// the time-out type of the timed wait).
constexpr double maxIntervalTicks = INT_MAX / 2;

// Common cycle above which counting falls back to the largest interval.
constexpr long long maxCycleTicks = INT_MAX / 2;

// Records the refusal of a rate, the text made from format and the rate in
// hertz; returns -1.
__attribute__((format(printf, 2, 0))) int refuseRate(ErrorHandler &errors, const char *format, float hertz)
{
  char text[ErrorHandler::messageSize];
  std::snprintf(text, sizeof text, format, static_cast<double>(hertz));
  errors.set(text);
  return -1;
}
} // namespace

MicroPeriodicHandler::MicroPeriodicHandler(const char *name, TaskSynchronizer *taskSync)
  : name_(name != nullptr ? name : "")
  , taskSync_(taskSync)
{
  errors_.clear();
  trace(3, 4, "MicroPeriodicHandler::MicroPeriodicHandler()\n");
  if (taskSync == nullptr)
    throw NullArg(2);
}

MicroPeriodicHandler::~MicroPeriodicHandler()
{
  // A task destroyed while it runs is stopped first, so its thread never
  // outlives the members it uses.
  if (!hasEnded())
    stop(10);
  joinThread();
  timerSem_.close();
}

int MicroPeriodicHandler::addCallback(unsigned periodMs, Callback *cb)
{
  if (periodMs == 0) {
    errors_.set("MicroPeriodicHandler::addCallback() - period of 0 ms refused");
    return -1;
  }
  if (cb == nullptr) {
    errors_.set("MicroPeriodicHandler::addCallback() - null callback refused");
    return -1;
  }
  // Ticks straight from the period: through a single-precision rate, long
  // periods would come out some milliseconds off.
  const double exact = static_cast<double>(periodMs) * ticksPerSecond() / 1000.0 + 0.5;
  return addInterval(exact, 1000.0f / static_cast<float>(periodMs), cb);
}

int MicroPeriodicHandler::addCallback(float hertz, Callback *cb)
{
  if (cb == nullptr) {
    errors_.set("MicroPeriodicHandler::addCallback() - null callback refused");
    return -1;
  }
  if (!(hertz > 0.0f) || !std::isfinite(hertz)) {
    errors_.set("MicroPeriodicHandler::addCallback() - rate must be a positive number of hertz");
    return -1;
  }
  return addInterval(static_cast<double>(ticksPerSecond()) / static_cast<double>(hertz) + 0.5, hertz, cb);
}

int MicroPeriodicHandler::addInterval(double exact, float hertz, Callback *cb)
{
  if (exact > maxIntervalTicks || exact * 1000.0 / ticksPerSecond() > INT_MAX) {
    return refuseRate(errors_, "MicroPeriodicHandler::addCallback() - hertz=%g is too slow, refused", hertz);
  }
  const int ticks = static_cast<int>(exact);
  trace(
    3, 4, "MicroPeriodicHandler::addCallback(), hertz=%.1f, ticks=%d\n", static_cast<double>(hertz), ticks);
  if (ticks < 1) {
    return refuseRate(
      errors_, "MicroPeriodicHandler::addCallback() - hertz=%.1f rounds to 0 ticks, refused", hertz);
  }

  for (auto &interval : intervals_) {
    if (interval->ticks != ticks)
      continue;
    for (int i = 0; i < interval->callbacks.count(); ++i) {
      if (interval->callbacks.get(i) == cb) {
        trace(3, 4, "Already assigned this callback for %d interval\n", ticks);
        return 0;
      }
    }
    trace(3, 4, "Assign new callback for %d interval\n", ticks);
    interval->callbacks.append(cb);
    return 0;
  }

  trace(3, 4, "New sampling interval; %d\n", ticks);
  auto interval = std::make_unique<SampleInterval>();
  interval->ticks = ticks;
  interval->callbacks.append(cb);
  intervals_.push_back(std::move(interval));
  computeSampleTicks();
  return 0;
}

int MicroPeriodicHandler::computeSampleTicks()
{
  trace(3, 4, "MicroPeriodicHandler::computeSampleTicks()\n");
  if (intervals_.empty())
    return _sampleTicks;

  int minTicks = INT_MAX;
  int gcd = 0;
  long long cycle = 1;
  for (const auto &interval : intervals_) {
    minTicks = std::min(minTicks, interval->ticks);
    maxTicks_ = std::max(maxTicks_, interval->ticks);
    gcd = std::gcd(gcd, interval->ticks);
    if (cycle <= maxCycleTicks)
      cycle = std::lcm(cycle, static_cast<long long>(interval->ticks));
  }
  _sampleTicks = gcd;
  // Restarting the count at the largest interval would skew intervals that
  // do not divide it (2000 beside 3000 would run every 3000 ticks), so the
  // count restarts at their common multiple when that stays reasonable.
  cycleTicks_ = cycle <= maxCycleTicks ? static_cast<int>(cycle) : maxTicks_;
  trace(4,
        4,
        "MicroPeriodicHandler::computeSampleTicks(), minTicks=%d, maxTicks=%d,  _sampleTicks=%d\n",
        minTicks,
        maxTicks_,
        _sampleTicks);
  return _sampleTicks;
}

int MicroPeriodicHandler::run()
{
  trace(1, 4, "MicroPeriodicHandler::run()\n");
  while (!taskSync_->shutdownRequested()) {
    taskSync_->resetReceived(1);
    trace(3, 4, "MicroPeriodicHandler::run() - wait for MicroEventHandler\n");
    taskSync_->waitForTask(1, WAIT_FOREVER);
    trace(3, 4, "MicroPeriodicHandler::run() - start sampling loop\n");
    const int waitMs = passWaitMs();
    while (!taskSync_->shutdownRequested()) {
      trace(4, 4, "MicroPeriodicHandler::run() - top of sampling loop; sampleTicks=%d\n", _sampleTicks);
      timedWait(timerSem_, waitMs);
      std::lock_guard<Mutex> guard(taskSync_->lock());
      invokeCallbacks();
    }
  }
  taskSync_->shutdownReceived(1);
  return 0;
}

int MicroPeriodicHandler::passWaitMs() const
{
  // Widened first: the product overflows 32 bits from about 71 minutes on.
  const long long ms = static_cast<long long>(_sampleTicks) * 1000LL / ticksPerSecond();
  return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

int MicroPeriodicHandler::invokeCallbacks()
{
  trace(4, 4, "MicroPeriodicHandler::invokeCallbacks()\n");
  const int count = tickCount_.load(std::memory_order_relaxed) + _sampleTicks;
  tickCount_.store(count, std::memory_order_relaxed);
  for (auto &interval : intervals_) {
    if (count % interval->ticks != 0)
      continue;
    for (int i = 0; i < interval->callbacks.count(); ++i) {
      Callback *cb = interval->callbacks.get(i);
      if (cb == nullptr || cb->enabled.load() == 0)
        continue;
      trace(4, 4, "MicroPeriodicHandler::invokeCallbacks(), invoke %d tick callback...", interval->ticks);
      cb->invoke();
      trace(4, 4, "done\n");
    }
  }
  const int cycle = cycleTicks_ > 0 ? cycleTicks_ : maxTicks_;
  if (count >= cycle)
    tickCount_.store(0, std::memory_order_relaxed);
  return 0;
}

int MicroPeriodicHandler::stop(int seconds)
{
  return taskSync_->stopTask(1, *this, seconds, [this] { timerSem_.give(); });
}
