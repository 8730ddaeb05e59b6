// Alarms: one-shot notices and timed conditions, and the reporting helpers
// through which every part of the monitor logs and publishes.
#pragma once

#include "framework/DateTime.h"

#include <cstdint>
#include <string>

class AlarmManager;

// A one-shot notice: tripped for its whole life. Registers with its
// manager (the process-wide one when none is given) once fully built.
class Alarm
{
public:
  static constexpr std::size_t maxTextLength = 128;

  Alarm(const char *text, int priority, AlarmManager *manager = nullptr);
  virtual ~Alarm();
  Alarm(const Alarm &) = delete;
  Alarm &operator=(const Alarm &) = delete;

  virtual void check();
  virtual void recover();
  virtual short isTripped();
  // Base text (at most 128 characters) followed by the current suffix.
  std::string text();
  int priority() const { return priority_; }
  const DateTime &createdAt() const { return createdAt_; }
  bool owned() const { return owned_; }

protected:
  // Suffix written after the base text: "@%02d:%02d:%02d" of createdAt.
  virtual std::string formatText();
  // Construction without registration, for subclasses that register
  // themselves once fully built.
  struct NoRegister
  {
  };
  Alarm(const char *text, int priority, AlarmManager *manager, NoRegister);
  void registerWithManager();

private:
  friend Alarm *raiseAlarm(const char *, int, AlarmManager *);
  friend class AlarmManager;

  bool owned_ = false;
  AlarmManager *manager_;
  std::string baseText_;
  DateTime createdAt_;
  int priority_;
};

// A condition sighted repeatedly; trips when a sighting falls into the
// window (minSeconds, maxSeconds] after its reference point. Reads the
// process clock (clockTicks), so tests can step time.
class TimedAlarm : public Alarm
{
public:
  TimedAlarm(const char *text, unsigned minSeconds, unsigned maxSeconds, AlarmManager *manager = nullptr);
  // Removes itself from its manager before it goes away.
  ~TimedAlarm() override;

  void check() override;
  void recover() override;
  short isTripped() override;

  unsigned minSeconds() const { return minSeconds_; }
  unsigned maxSeconds() const { return maxSeconds_; }

protected:
  std::string formatText() override;

private:
  unsigned minSeconds_;
  unsigned maxSeconds_;
  // Written by the checking thread, read by the manager's task.
  struct State;
  State *state_;
};

// A manager-owned one-shot alarm, or null when it could not be made.
Alarm *raiseAlarm(const char *text, int priority, AlarmManager *manager = nullptr);

// Notice (priority MESSAGE): logged, published, traced at levels 1-4.
void reportMessage(const char *text);
// Error (priority ALARM): "ERROR: " + text cut to 127 characters.
void reportError(const char *text);
