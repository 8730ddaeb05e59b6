// Time parameters as the HTTP interface and tmx-history take them; their
// ISO 8601 form is wire/TimeText.h's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "wire/TimeText.h"

namespace tmx::archive {

// The last second parseTime takes: no time the archive answers for lies
// beyond it.
using wire::lastSecond;

// Unix seconds ("1765188000", "1765188000.25": digits with an optional
// fraction, no sign) or ISO 8601 UTC: "2026-12-08T10:00:00Z", the same
// without the Z (still UTC), with fractions of a second ("...:00.5Z"),
// without seconds ("2026-12-08T10:00Z"), or a bare date ("2026-12-08",
// midnight UTC). Anything else, an impossible date ("2026-02-30") or a year
// outside 1970..9999 gives nullopt. No spaces are accepted.
std::optional<double> parseTime(const std::string &text);

using wire::isoUtc;

} // namespace tmx::archive
