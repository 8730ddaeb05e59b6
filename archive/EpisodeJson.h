// The JSON form of an alarm episode, one for every program that shows
// one: tmx-web's /api/alarms and "alarm" events, tmx-history's alarms
// export.
#pragma once

#include <vector>

#include <nlohmann/json.hpp>

#include "archive/Episode.h"

namespace tmx::archive {

// {"id","housing" (name or null),"kind","source","severity","text",
//  "opened","lastTrip","trips","peak" ({"value","at"} or null),"cleared"
//  ({"at","why"} or null),"acknowledged" ({"by","at","comment"} or null),
//  "shelved" ({"by","at","until","comment"} or null),"latched","active"};
// times Unix seconds. Texts are as they came: the JSON text escapes their
// control characters.
nlohmann::ordered_json episodeJson(const Episode &episode);
// The same with "audit": [{"action","by","address","at","comment","until"}],
// oldest first.
nlohmann::ordered_json episodeJson(const Episode &episode, const std::vector<AuditEntry> &audit);

} // namespace tmx::archive
