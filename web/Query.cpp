#include "web/Query.h"

#include <charconv>
#include <cmath>

#include "archive/Archive.h"
#include "archive/TimeText.h"

namespace tmx::web {

namespace {

// Values are echoed in reasons; keep a reason one short printable line.
std::string shown(const std::string &value)
{
  std::string out;
  for (char c : value.substr(0, 40))
    out += (c >= 0x20 && c < 0x7f) ? c : '?';
  if (value.size() > 40)
    out += "...";
  return "\"" + out + "\"";
}

// The value of a parameter given at most once. Sets fault when it came
// twice.
std::optional<std::string> single(const Params &params, const char *name, std::string &fault)
{
  auto range = params.equal_range(name);
  if (range.first == range.second)
    return std::nullopt;
  if (std::next(range.first) != range.second) {
    fault = std::string(name) + " given more than once";
    return std::nullopt;
  }
  return range.first->second;
}

// A whole decimal number in [min, max] (digits only).
bool number(const std::string &text, unsigned long min, unsigned long max, unsigned long &value)
{
  if (text.empty())
    return false;
  unsigned long v = 0;
  auto r = std::from_chars(text.data(), text.data() + text.size(), v);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size() || text[0] == '+' || v < min || v > max)
    return false;
  value = v;
  return true;
}

// The time a parameter gives, or fallback when it is absent; nothing, with
// fault set, when it is not a time.
std::optional<double> timeParam(const std::optional<std::string> &text,
                                const char *name,
                                double fallback,
                                std::string &fault)
{
  if (!text)
    return fallback;
  auto t = archive::parseTime(*text);
  if (!t)
    fault = std::string(name) + ": not a time (Unix seconds or ISO 8601 UTC): " + shown(*text);
  return t;
}

// The limit parameter into limit (left at its default when absent); false
// with the fault set when it is bad.
bool limitParam(const std::optional<std::string> &text, unsigned long &limit, std::string &fault)
{
  if (text && !number(*text, 1, archive::maxLogEntries, limit)) {
    fault = "limit: a whole number from 1 to 10000, not " + shown(*text);
    return false;
  }
  return true;
}

std::optional<Window> window(const Params &params, double now, std::string &fault, double span = 3600)
{
  auto fromText = single(params, "from", fault);
  auto toText = single(params, "to", fault);
  if (!fault.empty())
    return std::nullopt;
  Window w;
  auto to = timeParam(toText, "to", now, fault);
  if (!to)
    return std::nullopt;
  w.to = *to;
  auto from = timeParam(fromText, "from", w.to - span, fault);
  if (!from)
    return std::nullopt;
  w.from = *from;
  if (w.from > w.to) {
    fault = "from is after to";
    return std::nullopt;
  }
  if (w.to - w.from > maxWindowSeconds) {
    fault = "the window is longer than 400 days";
    return std::nullopt;
  }
  return w;
}

} // namespace

std::variant<HousekeepingQuery, std::string> parseHousekeepingQuery(const Params &params, double now)
{
  std::string fault;
  HousekeepingQuery q;
  auto housing = single(params, "housing", fault);
  auto points = single(params, "points", fault);
  auto format = single(params, "format", fault);
  if (!fault.empty())
    return fault;
  if (format) {
    if (*format == "csv")
      q.csv = true;
    else if (*format != "json")
      return "format: json or csv, not " + shown(*format);
  }
  if (housing) {
    q.housing = archive::parseHousing(*housing);
    if (!q.housing)
      return "unknown housing " + shown(*housing) + " (electronics, spectrograph, 0 or 1)";
  } else if (!q.csv) {
    return "housing missing (electronics, spectrograph, 0 or 1)";
  }
  if (points) {
    unsigned long n = 0;
    if (!number(*points, archive::minPoints, archive::maxPoints, n))
      return "points: a whole number from 2 to 10000, not " + shown(*points);
    q.points = static_cast<unsigned>(n);
  }
  auto w = window(params, now, fault);
  if (!w)
    return fault;
  q.window = *w;
  return q;
}

std::variant<MessagesQuery, std::string> parseMessagesQuery(const Params &params, double now)
{
  std::string fault;
  MessagesQuery q;
  auto limit = single(params, "limit", fault);
  if (!fault.empty())
    return fault;
  if (!limitParam(limit, q.limit, fault))
    return fault;
  auto w = window(params, now, fault);
  if (!w)
    return fault;
  q.window = *w;
  return q;
}

std::variant<AlarmsQuery, std::string> parseAlarmsQuery(const Params &params, double now)
{
  std::string fault;
  AlarmsQuery q;
  auto state = single(params, "state", fault);
  auto limit = single(params, "limit", fault);
  if (!fault.empty())
    return fault;
  if (state) {
    if (*state == "all")
      q.all = true;
    else if (*state != "active")
      return "state: active or all, not " + shown(*state);
  }
  if (!limitParam(limit, q.limit, fault))
    return fault;
  auto w = window(params, now, fault, 86400);
  if (!w)
    return fault;
  q.window = *w;
  return q;
}

std::variant<HealthQuery, std::string> parseHealthQuery(const Params &params)
{
  std::string fault;
  HealthQuery q;
  auto hours = single(params, "hours", fault);
  if (!fault.empty())
    return fault;
  if (hours && !number(*hours, 1, 720, q.hours))
    return "hours: a whole number from 1 to 720, not " + shown(*hours);
  return q;
}

} // namespace tmx::web
