#include "wire/TimeText.h"

#include <cstdio>
#include <ctime>

namespace tmx::wire {

namespace {

// 0000-01-01T00:00:00Z.
constexpr std::int64_t firstSecond = -62167219200;

} // namespace

std::optional<std::string> isoSeconds(std::int64_t unixSeconds, const char *zone)
{
  if (unixSeconds < firstSecond || static_cast<double>(unixSeconds) > lastSecond)
    return std::nullopt;
  const std::time_t t = static_cast<std::time_t>(unixSeconds);
  std::tm tm{};
  if (!gmtime_r(&t, &tm))
    return std::nullopt;
  // By hand rather than strftime's %Y, which writes years before 1000 with
  // fewer than four digits.
  char buf[64];
  std::snprintf(buf,
                sizeof buf,
                "%04d-%02d-%02dT%02d:%02d:%02d%s",
                tm.tm_year + 1900,
                tm.tm_mon + 1,
                tm.tm_mday,
                tm.tm_hour,
                tm.tm_min,
                tm.tm_sec,
                zone);
  return std::string(buf);
}

std::string isoUtc(std::int64_t unixSeconds)
{
  return isoSeconds(unixSeconds, "Z").value_or(std::string());
}

std::string isoSent(unsigned long long seconds, const char *zone)
{
  if (seconds > static_cast<unsigned long long>(lastSecond))
    return "invalid";
  return isoSeconds(static_cast<std::int64_t>(seconds), zone).value_or("invalid");
}

std::string isoUtcMillis(std::chrono::system_clock::time_point t)
{
  using namespace std::chrono;
  const auto secs = floor<seconds>(t);
  const auto ms = duration_cast<milliseconds>(t - secs).count();
  const std::string whole = isoSeconds(secs.time_since_epoch().count(), "").value_or("invalid");
  const std::string millis = std::to_string(1000 + ms); // "1ddd": three digits after the '1'
  return whole + "." + millis.substr(1) + "Z";
}

} // namespace tmx::wire
