// Time parameters as the HTTP interface and tmx-history take them, and the
// ISO 8601 form of a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tmx::archive {

// 9999-12-31T23:59:59Z, the last second parseTime takes: no time the
// archive answers for lies beyond it.
constexpr double lastSecond = 253402300799.0;

// Unix seconds ("1765188000", "1765188000.25": digits with an optional
// fraction, no sign) or ISO 8601 UTC: "2026-12-08T10:00:00Z", the same
// without the Z (still UTC), with fractions of a second ("...:00.5Z"),
// without seconds ("2026-12-08T10:00Z"), or a bare date ("2026-12-08",
// midnight UTC). Anything else, an impossible date ("2026-02-30") or a year
// outside 1970..9999 gives nullopt. No spaces are accepted.
std::optional<double> parseTime(const std::string &text);

// "2026-12-08T10:00:00Z" (whole seconds, UTC).
std::string isoUtc(std::int64_t unixSeconds);

} // namespace tmx::archive
