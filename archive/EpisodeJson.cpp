#include "archive/EpisodeJson.h"

#include <cmath>
#include <optional>

#include "wire/Records.h"

namespace tmx::archive {

namespace {

using Json = nlohmann::ordered_json;

Json number(const std::optional<double> &v)
{
  return v && std::isfinite(*v) ? Json(*v) : Json(nullptr);
}

Json actionJson(const OperatorAction &a)
{
  Json j;
  j["by"] = a.by;
  j["at"] = a.at;
  j["comment"] = a.comment;
  return j;
}

} // namespace

Json episodeJson(const Episode &e)
{
  Json j;
  j["id"] = e.id;
  j["housing"] = e.housing ? Json(wire::housingName(*e.housing)) : Json(nullptr);
  j["kind"] = e.kind;
  j["source"] = e.source;
  j["severity"] = e.severity;
  j["text"] = e.text;
  j["opened"] = e.opened;
  j["lastTrip"] = e.lastTrip;
  j["trips"] = e.trips;
  j["peak"] =
    e.peakValue ? Json{ { "value", number(e.peakValue) }, { "at", number(e.peakAt) } } : Json(nullptr);
  j["cleared"] = e.cleared ? Json{ { "at", *e.cleared }, { "why", e.clearedWhy } } : Json(nullptr);
  j["acknowledged"] = e.acknowledged ? actionJson(*e.acknowledged) : Json(nullptr);
  if (e.shelved) {
    Json s = actionJson(e.shelved->action);
    s["until"] = e.shelved->until;
    j["shelved"] = std::move(s);
  } else {
    j["shelved"] = nullptr;
  }
  j["latched"] = e.latched();
  j["active"] = e.active();
  return j;
}

Json episodeJson(const Episode &episode, const std::vector<AuditEntry> &audit)
{
  Json j = episodeJson(episode);
  Json trail = Json::array();
  for (const auto &a : audit)
    trail.push_back({ { "action", a.action },
                      { "by", a.by.by },
                      { "address", a.by.address },
                      { "at", a.by.at },
                      { "comment", a.by.comment },
                      { "until", number(a.until) } });
  j["audit"] = std::move(trail);
  return j;
}

} // namespace tmx::archive
