// How tmx-watch shows a received Event_Comm::Event: one line for a person,
// one JSON object, or one CSV record (housekeeping only). The kind of the
// value is told by the TypeCode of value_ (see kindOf), never by tag_.
//
// Text line: "<received> <kind> tag=\"...\" <fields>", where <received> is
// the receive time in ISO 8601 UTC with milliseconds and <kind> is
// housekeeping, message, event, console, string, empty, or the repository
// id of an unknown value. Strings are quoted with C escapes, so one event
// is always one line. Temperatures and humidities have 2 decimals; every
// TimeBase::TimeT is shown as seconds and as ISO 8601 UTC.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "Event_Comm.hh"

namespace tmx::tools {

using SystemTime = std::chrono::system_clock::time_point;

// "2024-05-01T12:00:00.123Z"
std::string isoUtcMillis(SystemTime t);
// Seconds since 1970 as "2024-05-01T12:00:00Z", "invalid" when out of range.
std::string isoUtcSeconds(unsigned long long seconds);
// C-style quoted string: "a\"b\n"
std::string quoted(const char *text);
// JSON string literal with escapes.
std::string jsonString(const char *text);

std::string formatText(const Event_Comm::Event &event, SystemTime received);
std::string formatJson(const Event_Comm::Event &event, SystemTime received);
// Header line of the CSV output.
const char *csvHeader();
// A CSV record for a housekeeping value; nothing for every other kind.
std::optional<std::string> formatCsv(const Event_Comm::Event &event, SystemTime received);

} // namespace tmx::tools
