#include "app/HousingLimits.h"

#include "alarms/Alarm.h"
#include "app/Configuration.h"
#include "framework/ErrorHandler.h"

#include <TMX.hh>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <memory>

namespace {

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...)
{
  char buf[256];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  return buf;
}

bool wasRead(double value)
{
  return value != HousingLimitChecker::notRead;
}

} // namespace

HousingLimits readHousingLimits(Configuration &config, const std::string &sensorId)
{
  const std::string key = housingLimitsKey(sensorId);
  std::unique_ptr<ConfigItem> item;
  if (config.getItem(key.c_str(), item) != 1)
    item.reset();
  std::string error;
  const HousingLimits limits = housingLimitsOf(item.get(), error);
  if (!error.empty())
    reportError(error.c_str());
  return limits;
}

HousingLimitChecker::HousingLimitChecker(std::string housing, HousingLimits limits)
  : housing_(std::move(housing))
  , limits_(limits)
{
}

std::vector<LimitEvent> HousingLimitChecker::check(double temperature, double humidity)
{
  std::vector<LimitEvent> events;
  const char *name = housing_.c_str();
  const double h = limits_.hysteresis;
  auto alarm = [&events](std::string text) { events.push_back({ true, std::move(text) }); };
  auto notice = [&events](std::string text) { events.push_back({ false, std::move(text) }); };

  if (wasRead(temperature)) {
    const auto &low = limits_.lowTemperature;
    const auto &high = limits_.highTemperature;
    const bool pastLow = low && temperature < *low;
    const bool pastHigh = high && temperature > *high;
    if (pastHigh && temperature_ != Temperature::high) {
      temperature_ = Temperature::high;
      alarm(format("%s temperature high: %.2f degC (limit %.2f)", name, temperature, *high));
    } else if (pastLow && temperature_ != Temperature::low) {
      temperature_ = Temperature::low;
      alarm(format("%s temperature low: %.2f degC (limit %.2f)", name, temperature, *low));
    } else if ((temperature_ == Temperature::high && !pastLow && temperature <= *high - h) ||
               (temperature_ == Temperature::low && !pastHigh && temperature >= *low + h)) {
      temperature_ = Temperature::inside;
      notice(format("%s temperature back within limits: %.2f degC", name, temperature));
    }
  }

  if (wasRead(humidity) && limits_.highHumidity) {
    const double limit = *limits_.highHumidity;
    if (!humidityPast_ && humidity > limit) {
      humidityPast_ = true;
      alarm(format("%s humidity high: %.1f %%RH (limit %.1f)", name, humidity, limit));
    } else if (humidityPast_ && humidity <= limit - h) {
      humidityPast_ = false;
      notice(format("%s humidity back within limits: %.1f %%RH", name, humidity));
    }
  }

  if (wasRead(temperature) && wasRead(humidity) && limits_.dewPointMargin) {
    const double dew = dewPoint(temperature, humidity);
    const double margin = temperature - dew;
    const double limit = *limits_.dewPointMargin;
    if (std::isfinite(dew)) {
      if (!condensationRisk_ && margin < limit) {
        condensationRisk_ = true;
        alarm(format("%s condensation risk: dew point %.2f degC, %.2f degC below the housing "
                     "temperature (margin %.2f)",
                     name,
                     dew,
                     margin,
                     limit));
      } else if (condensationRisk_ && margin >= limit + h) {
        condensationRisk_ = false;
        notice(format("%s condensation risk over: dew point %.2f degC, %.2f degC below the housing "
                      "temperature",
                      name,
                      dew,
                      margin));
      }
    }
  }
  return events;
}

void raiseLimitEvents(const std::vector<LimitEvent> &events)
{
  for (const LimitEvent &event : events) {
    if (event.alarm) {
      raiseAlarm(event.text.c_str(), ALARM);
      trace(1, 4, "%s\n", event.text.c_str());
    } else {
      reportMessage(event.text.c_str());
    }
  }
}
