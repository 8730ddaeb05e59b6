#include "archive/TimeText.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <ctime>

namespace tmx::archive {

namespace {

bool allDigits(const std::string &s, std::size_t from, std::size_t to)
{
  if (from >= to)
    return false;
  for (std::size_t i = from; i < to; ++i)
    if (!std::isdigit(static_cast<unsigned char>(s[i])))
      return false;
  return true;
}

// Digits with an optional ".digits".
bool plainDecimal(const std::string &s)
{
  const auto dot = s.find('.');
  if (dot == std::string::npos)
    return allDigits(s, 0, s.size());
  return allDigits(s, 0, dot) && allDigits(s, dot + 1, s.size());
}

} // namespace

std::optional<double> parseTime(const std::string &text)
{
  if (text.empty() || text.size() > 40)
    return std::nullopt;
  if (plainDecimal(text)) {
    const double v = std::strtod(text.c_str(), nullptr);
    if (!std::isfinite(v) || v > lastSecond)
      return std::nullopt;
    return v;
  }
  std::string s = text;
  if (s.back() == 'Z')
    s.pop_back();
  // Fractions of a second: split off and read as a decimal.
  double fraction = 0;
  const auto dot = s.find('.');
  if (dot != std::string::npos) {
    if (!allDigits(s, dot + 1, s.size()))
      return std::nullopt;
    fraction = std::strtod(s.c_str() + dot, nullptr);
    s.erase(dot);
  }
  // strptime skips white space by itself: refuse it beforehand.
  for (char c : s)
    if (std::isspace(static_cast<unsigned char>(c)))
      return std::nullopt;
  static const char *const formats[] = { "%Y-%m-%dT%H:%M:%S", "%Y-%m-%dT%H:%M", "%Y-%m-%d" };
  for (const char *format : formats) {
    std::tm tm{};
    const char *end = strptime(s.c_str(), format, &tm);
    if (!end || *end != '\0')
      continue;
    if (dot != std::string::npos && format[std::char_traits<char>::length(format) - 1] != 'S')
      return std::nullopt; // fractions only after seconds
    const std::tm given = tm;
    const time_t t = timegm(&tm);
    // timegm normalises an impossible date (30 February): refuse it.
    if (t == static_cast<time_t>(-1) || tm.tm_year != given.tm_year || tm.tm_mon != given.tm_mon ||
        tm.tm_mday != given.tm_mday || tm.tm_hour != given.tm_hour || tm.tm_min != given.tm_min ||
        tm.tm_sec != given.tm_sec)
      return std::nullopt;
    if (t < 0 || static_cast<double>(t) > lastSecond)
      return std::nullopt;
    return static_cast<double>(t) + fraction;
  }
  return std::nullopt;
}

} // namespace tmx::archive
