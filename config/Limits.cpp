#include "config/Limits.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {

constexpr std::size_t valueCount = 5;
constexpr const char *valueNames[valueCount] = { "lowest temperature",
                                                 "highest temperature",
                                                 "highest humidity",
                                                 "dew-point margin",
                                                 "hysteresis" };

// The whole text as a finite number.
bool toNumber(const std::string &text, double &out)
{
  if (text.empty())
    return false;
  char *end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(v))
    return false;
  out = v;
  return true;
}

} // namespace

bool parseHousingLimits(const std::vector<std::string> &values, HousingLimits &limits, std::string &why)
{
  if (values.size() > valueCount) {
    why = "more than five values";
    return false;
  }
  std::optional<double> parsed[valueCount];
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (values[i] == "-")
      continue;
    double v = 0.0;
    if (!toNumber(values[i], v)) {
      why = std::string(valueNames[i]) + " not a number";
      return false;
    }
    parsed[i] = v;
  }
  if (parsed[0] && parsed[1] && *parsed[0] > *parsed[1]) {
    why = "lowest temperature above highest";
    return false;
  }
  for (std::size_t i : { std::size_t{ 3 }, std::size_t{ 4 } }) {
    if (parsed[i] && *parsed[i] < 0.0) {
      why = std::string("negative ") + valueNames[i];
      return false;
    }
  }
  limits = HousingLimits{};
  limits.lowTemperature = parsed[0];
  limits.highTemperature = parsed[1];
  limits.highHumidity = parsed[2];
  limits.dewPointMargin = parsed[3];
  limits.hysteresis = parsed[4].value_or(0.0);
  return true;
}

std::string housingLimitsKey(const std::string &sensorId)
{
  return sensorId + "-LIMITS";
}

HousingLimits housingLimitsOf(const ConfigItem *entry, std::string &error)
{
  HousingLimits limits;
  if (!entry)
    return limits;
  std::string why;
  if (!parseHousingLimits(entry->values, limits, why)) {
    error = "Malformed limits entry ignored (" + why + "): " + entry->key + ' ';
    for (std::size_t i = 0; i < entry->values.size(); ++i)
      error += (i > 0 ? "," : "") + entry->values[i];
  }
  return limits;
}

HousingLimits housingLimitsOf(const std::vector<ConfigEntry> &entries,
                              const std::string &sensorId,
                              std::string &error)
{
  const std::string key = housingLimitsKey(sensorId);
  for (const ConfigEntry &e : entries)
    if (e.item.key == key)
      return housingLimitsOf(&e.item, error);
  return {};
}

double dewPoint(double temperature, double humidity)
{
  constexpr double b = 17.62;
  constexpr double c = 243.12;
  if (!(humidity > 0.0))
    return std::nan("");
  const double gamma = std::log(humidity / 100.0) + b * temperature / (c + temperature);
  return c * gamma / (b - gamma);
}

std::optional<double> dewPointOf(const std::optional<double> &temperature,
                                 const std::optional<double> &humidity)
{
  if (!temperature || !humidity)
    return std::nullopt;
  const double d = dewPoint(*temperature, *humidity);
  return std::isfinite(d) ? std::optional<double>(d) : std::nullopt;
}
