#include "web/AlarmViews.h"

#include "web/JsonViews.h"
#include "wire/Records.h"

namespace tmx::web {

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
