// The monitor's alarm and notice texts, made and recognised in one place:
// the monitor makes its messages with these functions, and tmx-web reads
// the alarms' state back from the messages through recognise(), so that
// the two cannot drift apart. Free of ACE and CORBA.
#pragma once

#include <optional>
#include <string>

namespace tmx::alarmtext {

// The alarms tmx-web keeps as episodes. monitorSilent and notifier are
// tmx-web's own (no record for a while; not subscribed); other is any
// ALARM-priority message of no other kind (an episode of one trip).
enum class AlarmKind
{
  water,
  temperatureHigh,
  temperatureLow,
  humidityHigh,
  condensation,
  logger,
  port,
  logWrite,
  monitorSilent,
  notifier,
  other
};

// "water", "temperature-high", "temperature-low", "humidity-high",
// "condensation", "logger", "port", "log-write", "monitor-silent",
// "notifier", "other".
const char *kindName(AlarmKind kind);
std::optional<AlarmKind> parseKind(const std::string &name);

// What one message of the monitor says about an alarm.
struct Recognised
{
  enum class Effect
  {
    trips,         // the alarm trips (opens, or trips again while open)
    clears,        // the alarm's condition is over
    monitorStarted // the monitor (re)started: no alarm, a reset
  };
  Effect effect = Effect::trips;
  AlarmKind kind = AlarmKind::other;
  // 0 electronics, 1 spectrograph; none for alarms of no housing (the log
  // file) or where the text does not tell.
  std::optional<int> housing;
  // What tells apart two alarms of one kind and housing (a logger's
  // description, a port); "" when nothing does.
  std::string source;
  // The value the text quotes (degC, %RH, the dew point margin), if any.
  std::optional<double> value;
};

// What a message of the given priority (0 MESSAGE, 1 WARNING, 2 ALARM)
// and text says; nullopt for a message that is about no alarm. An ALARM
// message of no known text is Effect::trips of AlarmKind::other.
std::optional<Recognised> recognise(int priority, const std::string &text);

} // namespace tmx::alarmtext
