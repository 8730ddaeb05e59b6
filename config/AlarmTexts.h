// The monitor's alarm and notice texts, made and recognised in one place:
// the monitor makes its messages with these functions, and tmx-web reads
// the alarms' state back from the messages through recognise(), so that
// the two cannot drift apart. Free of ACE and CORBA.
#pragma once

#include <cstdint>
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
  // The timed water alarm's own message, which the monitor publishes
  // beside the reported one ("ERROR: ... water alarm") of the same trip:
  // one trip, two messages.
  bool accompanies = false;
};

// What a message of the given priority (0 MESSAGE, 1 WARNING, 2 ALARM)
// and text says; nullopt for a message that is about no alarm. An ALARM
// message of no known text is Effect::trips of AlarmKind::other.
//
// The text is taken as published: the made text, with "ERROR: " before it
// where it goes through reportError, and the alarm manager's time suffix
// ("@hh:mm:ss", or " mm:ss since last trip @hh:mm:ss" of the timed water
// alarm) after it, all cut to the 128 characters of a message; the text
// without its suffix is recognised too. Matches are anchored at both ends;
// a text cut inside a fixed part is no longer known. Never throws.
//
// Temperature "back within limits" does not tell which limit it was: it
// is recognised as clearing temperatureHigh, and ends() tells that it ends
// either temperature alarm.
std::optional<Recognised> recognise(int priority, const std::string &text);

// Whether `message` ends the open alarm of this kind, housing and source:
// - a clear of the same kind, housing and source; a temperature clear ends
//   either temperature alarm of its housing;
// - a temperature alarm ends the opposite one of its housing (the monitor
//   goes from past one limit straight to past the other with no notice);
// - a logger's "reads again" also ends the logger alarms of no housing,
//   whose texts did not tell the logger;
// - monitorStarted ends every alarm that only the monitor's notice would
//   end: not water (its records end it), nor monitorSilent or notifier
//   (tmx-web's own).
// The port and log-write alarms have no published clear: only a start ends
// them.
bool ends(const Recognised &message,
          AlarmKind kind,
          const std::optional<int> &housing,
          const std::string &source);

// ---------------------------------------------------------------- texts
// The texts as the monitor hands them to reportError (which puts "ERROR: "
// before them), raiseAlarm or reportMessage: no prefix, no time suffix.

constexpr int housingCount = 2;
// "Electronics housing" (0), "Spectrograph housing" (1); "" for others.
// Starts every housing's alarm and notice text.
const char *housingName(int housing);
// The housing's logger, by the sensor id that is also its description:
// "TMX-E1" (0), "TMX-S1" (1); "" for others.
const char *sensorId(int housing);

// The first message of every run, published before any alarm.
extern const char *const monitorStarting; // "Initializing alarm/msg log file"

// "<housing> water alarm": the timed alarm's base text, and the text
// reported (through reportError) at each trip.
std::string waterAlarm(int housing);

// `housing` is housingName() of the housing; values as the monitor has them.
std::string temperatureHigh(const std::string &housing, double value, double limit);
std::string temperatureLow(const std::string &housing, double value, double limit);
std::string temperatureBack(const std::string &housing, double value);
std::string humidityHigh(const std::string &housing, double value, double limit);
std::string humidityBack(const std::string &housing, double value);
std::string condensationRisk(const std::string &housing, double dewPoint, double margin, double limit);
std::string condensationOver(const std::string &housing, double dewPoint, double margin);

// A logger that failed reads both channels again (a MESSAGE).
std::string loggerReadsAgain(const std::string &description);

// Port reader failures (reported through reportError); no recovery text.
std::string portReadFailed(unsigned port, const std::string &path, const std::string &reason);
std::string waterLineReadFailed(unsigned port, unsigned mask, const std::string &reason);
std::string portMapUnusable(const std::string &path, const std::string &problem);

// The log file cannot be written (raised as ALARM with "ERROR: " before
// it); once it can again, the count of lines lost is written to the log
// file (with "ERROR: " before it) but not published.
std::string logWriteFailed(const std::string &path, const std::string &error);
std::string logWriteRecovered(const std::string &error, std::uint64_t linesLost);

} // namespace tmx::alarmtext
