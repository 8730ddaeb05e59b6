// How tmx-watch shows a received Event_Comm::Event: one line for a person,
// one JSON object, or one CSV record (housekeeping only). The kind of the
// value is told by the TypeCode of value_ (wire/ValueKind.h), never by tag_.
//
// Text line: "<received> <kind> tag=\"...\" <fields>", where <received> is
// the receive time in ISO 8601 UTC with milliseconds and <kind> is
// housekeeping, message, event, console, string, empty, or the repository
// id of an unknown value. Strings are quoted with C escapes and repository
// ids escaped the same way, so one event is always one line. Temperatures
// and humidities have 2 decimals. Every TimeBase::TimeT is shown as seconds
// and as ISO 8601: in UTC ("Z") for readingTime and TMX::Event's
// arrival_time (seconds since 1970 UTC); as local time with no zone letter
// for TMX::Message's arrival_time, which counts the monitor's local date and
// time as seconds (the JSON field beside it is "arrival_timeLocal").
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "Event_Comm.hh"
#include "wire/Quoting.h"

namespace tmx::tools {

using SystemTime = std::chrono::system_clock::time_point;

// "2024-05-01T12:00:00.123Z"
std::string isoUtcMillis(SystemTime t);
// Seconds since 1970 as "2024-05-01T12:00:00Z", "invalid" when out of range.
std::string isoUtcSeconds(unsigned long long seconds);
// A local date and time counted as seconds since 1970-01-01 00:00 without
// any zone shift, as "2024-05-01T12:00:00"; "invalid" when out of range.
std::string isoLocalSeconds(unsigned long long seconds);
// JSON string literal with escapes; bytes above 0x7f are taken as Latin-1
// characters (strings on the wire carry no encoding) and written as \u00HH,
// so the output is always ASCII.
std::string jsonString(const char *text);

std::string formatText(const Event_Comm::Event &event, SystemTime received);
std::string formatJson(const Event_Comm::Event &event, SystemTime received);
// Header line of the CSV output.
const char *csvHeader();
// A CSV record for a housekeeping value; nothing for every other kind.
std::optional<std::string> formatCsv(const Event_Comm::Event &event, SystemTime received);

} // namespace tmx::tools
