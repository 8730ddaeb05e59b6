// The JSON objects tmx-web shows: /api/current and its housings, the
// service's link state, the entries of /api/messages, the limits; the
// server-sent events carry the same objects.
#pragma once

#include <optional>

#include "archive/Archive.h"
#include "config/Limits.h"
#include "web/Json.h"
#include "web/LiveState.h"
#include "web/Subscription.h"

namespace tmx::web {

// The number, or null when it is missing or not finite.
Json optionalNumber(const std::optional<double> &v);

// {"lowTemperature":x|null,"highTemperature":x|null,"highHumidity":x|null,
//  "dewPointMargin":x|null,"hysteresis":x}
Json limitsJson(const HousingLimits &limits);

// The service object: {"state","since","lastRecord","stale"}.
Json serviceJson(const LinkStatus &status);
// A message object of /api/messages.
Json logEntryJson(const archive::LogEntry &entry);

// One housing object of /api/current at the live state's now; stale also
// when the service is not subscribed. It carries the dew point of the last
// reading and the housing's limits ("limits": null without any).
Json housingJson(const LiveState &live, int housing, const LinkStatus &link);
// The whole of /api/current.
Json currentJson(const LiveState &live, const LinkStatus &link);

} // namespace tmx::web
