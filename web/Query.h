// The query parameters of tmx-web's HTTP interface, taken from the
// parameters the HTTP server has split and decoded (every value of a
// repeated name kept), checked, with their defaults filled in. A fault
// gives a one-line reason for a 400 reply. Parameters the interface does
// not know are ignored (a page may add a cache-buster); one given twice is
// a fault.
//
//   housing  "electronics", "spectrograph", 0 or 1
//   from, to Unix seconds or ISO 8601 UTC; to defaults to now, from to
//            to - 3600; from <= to, and the window at most 400 days
//   points   2..10000, default 1000
//   limit    1..10000, default 100
//   format   "json" (default) or "csv" (housekeeping only; there housing
//            may be left out for both housings)
//   state    "active" (default: the current alarms) or "all" (alarms only;
//            every episode of the window, whose from defaults to to - 24 h)
//   hours    1..720, default 24 (alarm health)
#pragma once

#include <map>
#include <optional>
#include <string>
#include <variant>

namespace tmx::web {

using Params = std::multimap<std::string, std::string>;

constexpr double maxWindowSeconds = 400.0 * 86400.0;
constexpr unsigned defaultPoints = 1000;
constexpr unsigned long defaultLimit = 100;

struct Window
{
  double from = 0, to = 0;
};

struct HousekeepingQuery
{
  std::optional<int> housing; // always set unless csv
  Window window;
  unsigned points = defaultPoints;
  bool csv = false;
};

struct MessagesQuery
{
  Window window;
  unsigned long limit = defaultLimit;
};

struct AlarmsQuery
{
  bool all = false;
  Window window;
  unsigned long limit = defaultLimit;
};

struct HealthQuery
{
  unsigned long hours = 24;
};

// now: Unix seconds, the default end of the window.
std::variant<HousekeepingQuery, std::string> parseHousekeepingQuery(const Params &params, double now);
std::variant<MessagesQuery, std::string> parseMessagesQuery(const Params &params, double now);
std::variant<AlarmsQuery, std::string> parseAlarmsQuery(const Params &params, double now);
std::variant<HealthQuery, std::string> parseHealthQuery(const Params &params);

} // namespace tmx::web
