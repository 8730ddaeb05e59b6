// The JSON of tmx-web's alarms: an episode (as /api/alarms lists it and
// the "alarm" events carry it), the health figures, and the texts of
// refused operator requests.
#pragma once

#include <string>
#include <vector>

#include "archive/Episode.h"
#include "web/AlarmBook.h"
#include "web/AlarmHealth.h"
#include "web/Json.h"

namespace tmx::web {

// {"id","housing" (name or null),"kind","severity","text","opened",
//  "lastTrip","trips","peak" ({"value","at"} or null),"cleared" ({"at",
//  "why"} or null),"acknowledged" ({"by","at","comment"} or null),
//  "shelved" ({"by","at","until","comment"} or null),"latched","active"}
// Times are Unix seconds. The texts are as they came; the JSON escapes
// their control characters, and the page shows them as text.
Json episodeJson(const archive::Episode &episode);
// The same with "audit": [{"action","by","address","at","comment","until"}].
Json episodeJson(const archive::Episode &episode, const std::vector<archive::AuditEntry> &audit);

Json healthJson(const AlarmHealth &health, double hours);

// Why the rules refused an operator's request (one line).
std::string actionRefusal(ActionResult result, int maxShelveMinutes);

} // namespace tmx::web
