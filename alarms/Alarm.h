// Alarms: one-shot notices and timed conditions, and the reporting helpers
// through which every part of the monitor logs and publishes.
#pragma once

#include "framework/DateTime.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

class AlarmManager;

// A one-shot notice: tripped for its whole life. Registers with its
// manager (the process-wide one when none is given) once fully built, and
// removes itself from the manager when destroyed.
//
// text() builds a fresh string on every call (base text plus the current
// suffix), so the manager's task and the checking thread never share a
// text buffer.
class Alarm
{
public:
  static constexpr std::size_t maxTextLength = 128;

  // A null text is taken as empty; longer texts keep their first 128
  // characters.
  Alarm(const char *text, int priority, AlarmManager *manager = nullptr);
  virtual ~Alarm();
  Alarm(const Alarm &) = delete;
  Alarm &operator=(const Alarm &) = delete;

  virtual void check();
  virtual void recover();
  virtual short isTripped();
  // Base text (at most 128 characters) followed by the current suffix (at
  // most 128 characters).
  std::string text();
  int priority() const { return priority_; }
  const DateTime &createdAt() const { return createdAt_; }
  bool owned() const { return owned_; }
  // The manager it is registered with; null once the manager let go of it.
  AlarmManager *manager() const { return manager_.load(); }

protected:
  // Suffix written after the base text: "@%02d:%02d:%02d" of createdAt.
  virtual std::string formatText();
  // Construction without registration, for subclasses that register
  // themselves once fully built.
  struct NoRegister
  {};
  Alarm(const char *text, int priority, AlarmManager *manager, NoRegister);
  void registerWithManager();
  // Removes the alarm from its manager and waits until the manager's task
  // no longer looks at it. Subclass destructors call it first, before
  // their own part goes away; calling it again does nothing.
  void unregisterFromManager();

private:
  friend Alarm *raiseAlarm(const char *, int, AlarmManager *);
  friend class AlarmManager;

  bool owned_ = false; // set before registration, never changed after it
  std::atomic<AlarmManager *> manager_;
  const std::string baseText_;
  const DateTime createdAt_;
  const int priority_;
};

// A condition sighted repeatedly; trips when a sighting falls into the
// window (minSeconds, maxSeconds] after its reference point. Reads the
// process clock (clockTicks), so tests can step time. Priority ALARM.
//
// check() and recover() run on the checking thread while the manager's
// task reads isTripped() and text(); the sighting state is guarded by the
// alarm's own lock, which is never held while calling out.
class TimedAlarm : public Alarm
{
public:
  // Both bounds are clamped to 3600 s; a maximum below the minimum becomes
  // twice the minimum (not clamped again).
  TimedAlarm(const char *text, unsigned minSeconds, unsigned maxSeconds, AlarmManager *manager = nullptr);
  // Removes itself from its manager before it goes away.
  ~TimedAlarm() override;

  void check() override;
  void recover() override;
  short isTripped() override;

  unsigned minSeconds() const { return minSeconds_; }
  unsigned maxSeconds() const { return maxSeconds_; }
  unsigned elapsedSeconds() const;
  unsigned sightings() const;
  unsigned recoveries() const;

protected:
  // " %02d:%02d since last trip @%02d:%02d:%02d": minutes and seconds of
  // elapsedSeconds, then the time of the latest sighting. Until a second
  // sighting has been recorded, that time is the creation time, the only
  // moment the alarm knows of.
  std::string formatText() override;

private:
  const unsigned minSeconds_;
  const unsigned maxSeconds_;

  mutable std::mutex mutex_; // guards the sighting state below
  DateTime lastSeen_;
  std::uint32_t referenceClock_ = 0;
  std::uint32_t elapsedSeconds_ = 0;
  short tripped_ = 0;
  // Wider than needed for any window, so a condition that lasts for days
  // never wraps back to a first sighting.
  std::uint32_t sightings_ = 0;
  std::uint32_t recoveries_ = 0;
};

// A manager-owned one-shot alarm, or null when it could not be made. The
// manager releases it once it has logged and published it, so the caller
// must not keep the pointer.
Alarm *raiseAlarm(const char *text, int priority, AlarmManager *manager = nullptr);

// Notice (priority MESSAGE): logged, published, traced at levels 1-4.
// A null text is ignored.
void reportMessage(const char *text);
// Error (priority ALARM): "ERROR: " + text, cut to 127 characters, logged,
// published and traced at levels 1-4. A null text is ignored.
void reportError(const char *text);
