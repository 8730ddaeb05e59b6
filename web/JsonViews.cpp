#include "web/JsonViews.h"

#include <algorithm>
#include <cmath>

namespace tmx::web {

Json optionalNumber(const std::optional<double> &v)
{
  return v && std::isfinite(*v) ? Json(*v) : Json(nullptr);
}

Json limitsJson(const HousingLimits &limits)
{
  Json j;
  j["lowTemperature"] = optionalNumber(limits.lowTemperature);
  j["highTemperature"] = optionalNumber(limits.highTemperature);
  j["highHumidity"] = optionalNumber(limits.highHumidity);
  j["dewPointMargin"] = optionalNumber(limits.dewPointMargin);
  j["hysteresis"] = limits.hysteresis;
  return j;
}

Json serviceJson(const LinkStatus &status)
{
  Json j;
  j["state"] = linkStateName(status.state);
  j["since"] = unixSeconds(status.since);
  j["lastRecord"] = status.lastRecord ? Json(unixSeconds(*status.lastRecord)) : Json(nullptr);
  j["stale"] = status.stale;
  return j;
}

Json logEntryJson(const archive::LogEntry &entry)
{
  Json j;
  j["time"] = entry.time;
  const bool console = entry.kind == archive::LogEntry::Kind::console;
  j["kind"] = console ? "console" : "message";
  j["priority"] = entry.priority ? Json(archive::priorityName(*entry.priority)) : Json(nullptr);
  j["sentTime"] = entry.sentTime ? Json(*entry.sentTime) : Json(nullptr);
  j["text"] = entry.text;
  return j;
}

Json housingJson(const LiveState &live, int housing, const LinkStatus &link)
{
  const double now = live.now();
  const LiveState::Housing held = live.housing(housing);
  const auto &record = held.last;
  Json j;
  j["housing"] = archive::housingName(housing);
  if (!record) {
    j["readingTime"] = nullptr;
    j["arrivalTime"] = nullptr;
    j["temperature"] = nullptr;
    j["humidity"] = nullptr;
    j["dewPoint"] = nullptr;
    j["water"] = nullptr;
    j["age"] = nullptr;
    j["stale"] = true;
    j["limits"] = held.limits ? limitsJson(*held.limits) : Json(nullptr);
    return j;
  }
  const double age = std::max(0.0, now - record->arrivalTime);
  j["readingTime"] = record->readingTime;
  j["arrivalTime"] = record->arrivalTime;
  j["temperature"] = optionalNumber(record->temperature);
  j["humidity"] = optionalNumber(record->humidity);
  j["dewPoint"] = optionalNumber(dewPointOf(record->temperature, record->humidity));
  j["water"] = record->water;
  j["age"] = age;
  j["stale"] = link.state != LinkState::subscribed || age >= staleSeconds;
  j["limits"] = held.limits ? limitsJson(*held.limits) : Json(nullptr);
  return j;
}

Json currentJson(const LiveState &live, const LinkStatus &link)
{
  Json j;
  j["now"] = live.now();
  j["service"] = serviceJson(link);
  Json housings = Json::array();
  for (int h = 0; h < archive::housingCount; ++h)
    housings.push_back(housingJson(live, h, link));
  j["housings"] = std::move(housings);
  return j;
}

} // namespace tmx::web
