// The JSON of tmx-web's alarms beside the episode's own (as /api/alarms
// lists it and the "alarm" events carry it): the health figures, and the
// texts of refused operator requests.
#pragma once

#include <string>
#include <vector>

#include "archive/Episode.h"
#include "archive/EpisodeJson.h"
#include "web/AlarmBook.h"
#include "web/AlarmHealth.h"
#include "web/Json.h"

namespace tmx::web {

// The episode's JSON (archive/EpisodeJson.h).
using archive::episodeJson;

Json healthJson(const AlarmHealth &health, double hours);

// Why the rules refused an operator's request (one line).
std::string actionRefusal(ActionResult result, int maxShelveMinutes);

} // namespace tmx::web
