#include "web/AlarmViews.h"

#include "web/JsonViews.h"
#include "wire/Records.h"

namespace tmx::web {

namespace {

Json actionJson(const archive::OperatorAction &a)
{
  Json j;
  j["by"] = a.by;
  j["at"] = a.at;
  j["comment"] = a.comment;
  return j;
}

} // namespace

Json episodeJson(const archive::Episode &e)
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
  if (e.peakValue) {
    Json peak;
    peak["value"] = optionalNumber(e.peakValue);
    peak["at"] = optionalNumber(e.peakAt);
    j["peak"] = std::move(peak);
  } else {
    j["peak"] = nullptr;
  }
  if (e.cleared) {
    Json cleared;
    cleared["at"] = *e.cleared;
    cleared["why"] = e.clearedWhy;
    j["cleared"] = std::move(cleared);
  } else {
    j["cleared"] = nullptr;
  }
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

Json episodeJson(const archive::Episode &episode, const std::vector<archive::AuditEntry> &audit)
{
  Json j = episodeJson(episode);
  Json trail = Json::array();
  for (const auto &a : audit) {
    Json line;
    line["action"] = a.action;
    line["by"] = a.by.by;
    line["address"] = a.by.address;
    line["at"] = a.by.at;
    line["comment"] = a.by.comment;
    line["until"] = optionalNumber(a.until);
    trail.push_back(std::move(line));
  }
  j["audit"] = std::move(trail);
  return j;
}

Json healthJson(const AlarmHealth &h, double hours)
{
  Json j;
  j["hours"] = hours;
  j["intervals"] = h.intervals;
  j["episodesPer10Minutes"] = { { "mean", h.meanPerInterval }, { "highest", h.mostPerInterval } };
  j["floodShare"] = h.floodShare;
  Json chattering = Json::array();
  for (const auto &c : h.chattering) {
    Json one;
    one["kind"] = c.kind;
    one["housing"] = c.housing ? Json(wire::housingName(*c.housing)) : Json(nullptr);
    one["source"] = c.source;
    one["openings"] = c.openings;
    one["most60s"] = c.burst;
    chattering.push_back(std::move(one));
  }
  j["chattering"] = std::move(chattering);
  j["standing"] = h.standing;
  j["timeToAcknowledge"] = { { "median", optionalNumber(h.medianToAcknowledge) },
                             { "longest", optionalNumber(h.longestToAcknowledge) },
                             { "unacknowledged", h.unacknowledged } };
  j["shelvedNow"] = h.shelvedNow;
  return j;
}

std::string actionRefusal(ActionResult result, int maxShelveMinutes)
{
  switch (result) {
    case ActionResult::commentTooLong:
      return "comment: at most " + std::to_string(archive::maxCommentLength) + " characters";
    case ActionResult::badMinutes:
      return "minutes: a whole number from 1 to " + std::to_string(maxShelveMinutes);
    case ActionResult::notShelvable:
      return "only an active or latched alarm can be shelved";
    case ActionResult::notShelved:
      return "the alarm is not shelved";
    case ActionResult::notHeld:
    case ActionResult::ok:
    case ActionResult::unchanged:
      break;
  }
  return resultName(result);
}

} // namespace tmx::web
