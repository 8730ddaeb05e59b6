#include "alarms/Alarm.h"

#include "alarms/AlarmManager.h"
#include "framework/Clock.h"
#include "framework/ErrorHandler.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {

std::string firstCharacters(const char *text, std::size_t limit)
{
  if (text == nullptr)
    return std::string();
  return std::string(text, strnlen(text, limit));
}

AlarmManager *managerOrInstance(AlarmManager *manager)
{
  return manager != nullptr ? manager : &AlarmManager::instance();
}

} // namespace

// ---------------------------------------------------------------- Alarm

Alarm::Alarm(const char *text, int priority, AlarmManager *manager)
  : Alarm(text, priority, manager, NoRegister{})
{
  registerWithManager();
}

Alarm::Alarm(const char *text, int priority, AlarmManager *manager, NoRegister)
  : manager_(managerOrInstance(manager))
  , baseText_(firstCharacters(text, maxTextLength))
  , createdAt_(DateTime::LocalNow)
  , priority_(priority)
{
}

Alarm::~Alarm()
{
  unregisterFromManager();
  if (traceEnabled(2, 4))
    trace(2, 4, "Destructing Alarm Class %s\n", text().c_str());
}

void Alarm::registerWithManager()
{
  if (AlarmManager *manager = manager_.load())
    manager->registerAlarm(this);
}

void Alarm::unregisterFromManager()
{
  if (AlarmManager *manager = manager_.exchange(nullptr))
    manager->unregisterAlarm(this);
}

void Alarm::check()
{
  if (isTripped())
    recover();
}

void Alarm::recover() {}

short Alarm::isTripped()
{
  return 1;
}

std::string Alarm::text()
{
  std::string suffix = formatText();
  if (suffix.size() > maxTextLength)
    suffix.resize(maxTextLength);
  return baseText_ + suffix;
}

std::string Alarm::formatText()
{
  return "@" + createdAt_.clockText();
}

// ---------------------------------------------------------------- TimedAlarm

namespace {
constexpr unsigned windowLimit = 3600;

unsigned clampedMin(unsigned minSeconds)
{
  return minSeconds > windowLimit ? windowLimit : minSeconds;
}

unsigned clampedMax(unsigned minSeconds, unsigned maxSeconds)
{
  const unsigned lo = clampedMin(minSeconds);
  const unsigned hi = maxSeconds > windowLimit ? windowLimit : maxSeconds;
  return hi < lo ? 2 * lo : hi;
}
} // namespace

TimedAlarm::TimedAlarm(const char *text, unsigned minSeconds, unsigned maxSeconds, AlarmManager *manager)
  : Alarm(text, 2, manager, NoRegister{})
  , minSeconds_(clampedMin(minSeconds))
  , maxSeconds_(clampedMax(minSeconds, maxSeconds))
  , lastSeen_(createdAt())
{
  registerWithManager();
}

TimedAlarm::~TimedAlarm()
{
  // Off the manager's lists before the TimedAlarm part goes away.
  unregisterFromManager();
  trace(3, 4, "Destructing TimedAlarm Class \n");
}

void TimedAlarm::check()
{
  {
    const std::uint32_t now = clockTicks();
    std::lock_guard<std::mutex> guard(mutex_);
    const std::uint32_t n = sightings_++;
    if (n == 0) {
      referenceClock_ = now;
    } else {
      lastSeen_ = DateTime(DateTime::LocalNow);
      // Unsigned difference: correct across the 49-day wrap of the clock.
      elapsedSeconds_ = (now - referenceClock_) / 1000;
      if (elapsedSeconds_ <= minSeconds_) {
        tripped_ = 0;
      } else if (elapsedSeconds_ > maxSeconds_) {
        sightings_ = 0;
        tripped_ = 0;
        recoveries_ = 0;
      } else if (tripped_ == 0) {
        tripped_ = 1;
      } else {
        referenceClock_ = now;
        tripped_ = 0;
      }
    }
  }
  Alarm::check();
}

void TimedAlarm::recover()
{
  bool first;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    first = recoveries_ == 0;
    if (first)
      ++recoveries_;
  }
  // Printed at every trace level.
  std::printf(first ? "TimedAlarm %s recover called: attempting recovery.\n"
                    : "TimedAlarm %s recover called: no action taken.\n",
              text().c_str());
  std::fflush(stdout);
}

short TimedAlarm::isTripped()
{
  std::lock_guard<std::mutex> guard(mutex_);
  return tripped_;
}

unsigned TimedAlarm::elapsedSeconds() const
{
  std::lock_guard<std::mutex> guard(mutex_);
  return elapsedSeconds_;
}

unsigned TimedAlarm::sightings() const
{
  std::lock_guard<std::mutex> guard(mutex_);
  return sightings_;
}

unsigned TimedAlarm::recoveries() const
{
  std::lock_guard<std::mutex> guard(mutex_);
  return recoveries_;
}

std::string TimedAlarm::formatText()
{
  std::uint32_t elapsed;
  DateTime seen;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    elapsed = elapsedSeconds_;
    seen = lastSeen_;
  }
  char buf[Alarm::maxTextLength + 1];
  std::snprintf(buf, sizeof buf, " %02u:%02u since last trip @", elapsed / 60, elapsed % 60);
  return buf + seen.clockText();
}

// ---------------------------------------------------------------- helpers

Alarm *raiseAlarm(const char *text, int priority, AlarmManager *manager)
{
  Alarm *alarm = nullptr;
  try {
    alarm = new Alarm(text, priority, manager, Alarm::NoRegister{});
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  // Owned before the manager can see it: the manager's task may release
  // it as soon as it is registered.
  alarm->owned_ = true;
  alarm->registerWithManager();
  return alarm;
}

void reportMessage(const char *text)
{
  if (text == nullptr)
    return;
  raiseAlarm(text, 0, nullptr);
  trace(1, 4, "%s\n", text);
}

void reportError(const char *text)
{
  if (text == nullptr)
    return;
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, "ERROR: %s", text);
  raiseAlarm(buffer, 2, nullptr);
  trace(1, 4, "%s\n", buffer);
}
