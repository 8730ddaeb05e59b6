#include "web/AlertForms.h"

#include <cmath>
#include <cstdio>

#include "wire/Records.h"
#include "wire/TimeText.h"

namespace tmx::web {

namespace {

constexpr double week = 7 * 86400.0;
const char unacknowledgedName[] = "TmxAlarmUnacknowledged";

std::string at(double t)
{
  return wire::isoUtc(static_cast<std::int64_t>(std::floor(t)));
}

std::string number(double v)
{
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

std::string description(const archive::Episode &e)
{
  std::string d = "Open since " + at(e.opened) + "; " + std::to_string(e.trips) +
                  (e.trips == 1 ? " trip" : " trips") + ", the last at " + at(e.lastTrip) + ".";
  if (e.peakValue)
    d += " Peak " + number(*e.peakValue) + (e.peakAt ? " at " + at(*e.peakAt) : std::string()) + ".";
  if (e.cleared) {
    if (e.clearedWhy == "dry")
      d += " The line is dry again since " + at(*e.cleared) + ": acknowledge to end it.";
    else
      d += " Cleared (" + e.clearedWhy + ") at " + at(*e.cleared) + ": acknowledge to end it.";
  }
  if (e.acknowledged)
    d += " Acknowledged by " + e.acknowledged->by + " at " + at(e.acknowledged->at) + ".";
  return d;
}

} // namespace

const char *alertName(const std::string &kind)
{
  static const struct
  {
    const char *kind, *name;
  } names[] = {
    { "water", "TmxWaterLeak" },
    { "condensation", "TmxCondensationRisk" },
    { "temperature-high", "TmxTemperatureHigh" },
    { "temperature-low", "TmxTemperatureLow" },
    { "humidity-high", "TmxHumidityHigh" },
    { "logger", "TmxLoggerFailure" },
    { "port", "TmxPortFailure" },
    { "log-write", "TmxLogWriteFailure" },
    { "monitor-silent", "TmxMonitorSilent" },
    { "notifier", "TmxNotifierUnreachable" },
  };
  for (const auto &n : names)
    if (kind == n.kind)
      return n.name;
  return "TmxAlarm";
}

bool needsAttention(const archive::Episode &e, double now)
{
  const bool shelved = e.shelved && e.shelved->until > now;
  return (e.active() && !shelved) || (e.latched() && !shelved);
}

std::vector<Alert> alertsOf(const archive::Episode &e, const AlertSettings &settings, double now)
{
  if (!needsAttention(e, now))
    return {};
  Alert own;
  own.labels = { { "alertname", alertName(e.kind) },
                 { "instrument", settings.instrument },
                 { "severity", e.severity },
                 { "episode", std::to_string(e.id) } };
  if (e.housing)
    own.labels["housing"] = wire::housingName(*e.housing);
  own.generatorUrl = settings.externalUrl + "#alarm=" + std::to_string(e.id);
  own.annotations = { { "summary", e.text },
                      { "description", description(e) },
                      { "dashboard", own.generatorUrl } };
  own.startsAt = e.opened;
  own.endsAt = now + 3 * settings.interval;
  std::vector<Alert> alerts{ own };
  if (!e.acknowledged && now - e.opened >= settings.escalateAfter) {
    Alert page = own;
    page.labels["alertname"] = unacknowledgedName;
    page.labels["severity"] = "page";
    page.annotations["summary"] = "Unacknowledged for " +
                                  std::to_string(static_cast<long>(settings.escalateAfter / 60)) +
                                  " min: " + e.text;
    page.startsAt = e.opened + settings.escalateAfter;
    alerts.push_back(std::move(page));
  }
  return alerts;
}

std::optional<Silence> silenceOf(const archive::Episode &e, const AlertSettings &settings, double now)
{
  Silence s;
  const archive::OperatorAction *by = nullptr;
  if (e.shelved && e.shelved->until > now && (e.active() || e.latched())) {
    by = &e.shelved->action;
    s.endsAt = e.shelved->until;
  } else if (e.acknowledged && e.active()) {
    by = &*e.acknowledged;
    // A week after the acknowledgement, and a week further each week the
    // episode stays open: the same end for the same episode, every time.
    const double weeks = std::max(1.0, std::ceil((now - by->at) / week));
    s.endsAt = by->at + weeks * week;
    if (s.endsAt <= now)
      s.endsAt += week;
  } else {
    return std::nullopt;
  }
  s.matchers = { { "alertname", alertName(e.kind) },
                 { "instrument", settings.instrument },
                 { "episode", std::to_string(e.id) } };
  s.startsAt = by->at;
  s.createdBy = by->by;
  if (!by->comment.empty())
    s.comment = by->comment;
  else
    s.comment = e.shelved && by == &e.shelved->action ? "shelved in tmx-web" : "acknowledged in tmx-web";
  return s;
}

std::optional<std::int64_t> episodeOfSilence(const Silence &s, const AlertSettings &settings)
{
  if (s.matchers.size() != 3 || !s.matchers.count("alertname") || !s.matchers.count("episode"))
    return std::nullopt;
  const auto instrument = s.matchers.find("instrument");
  if (instrument == s.matchers.end() || instrument->second != settings.instrument)
    return std::nullopt;
  const std::string &id = s.matchers.at("episode");
  if (id.empty() || id.find_first_not_of("0123456789") != std::string::npos || id.size() > 18)
    return std::nullopt;
  return std::stoll(id);
}

} // namespace tmx::web
