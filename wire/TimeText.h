// Times as the programs around the monitor write them: ISO 8601 in UTC.
// Every program that shows a reading time, an arrival time or a receive time
// formats it here.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace tmx::wire {

// 9999-12-31T23:59:59Z, the last second that has an ISO 8601 form with a
// four-digit year.
constexpr double lastSecond = 253402300799.0;

// Unix seconds as "YYYY-MM-DDTHH:MM:SS" followed by zone ("Z" for UTC, "" for
// a count that already holds a local date and time); nullopt outside
// 0000-01-01 .. 9999-12-31.
std::optional<std::string> isoSeconds(std::int64_t unixSeconds, const char *zone);

// "2026-12-08T10:00:00Z" (whole seconds, UTC); "" outside the four-digit
// years.
std::string isoUtc(std::int64_t unixSeconds);

// A TimeBase::TimeT as sent, read as Unix seconds: isoSeconds(), or
// "invalid" when it has no such form.
std::string isoSent(unsigned long long seconds, const char *zone);

// "2024-05-01T12:00:00.123Z"
std::string isoUtcMillis(std::chrono::system_clock::time_point t);

} // namespace tmx::wire
