#include "app/HousingLimits.h"

#include "alarms/Alarm.h"
#include "app/Configuration.h"
#include "config/AlarmTexts.h"
#include "framework/ErrorHandler.h"

#include <TMX.hh>

#include <cmath>
#include <memory>

namespace text = tmx::alarmtext;

namespace {

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
  const std::string &name = housing_;
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
      alarm(text::temperatureHigh(name, temperature, *high));
    } else if (pastLow && temperature_ != Temperature::low) {
      temperature_ = Temperature::low;
      alarm(text::temperatureLow(name, temperature, *low));
    } else if ((temperature_ == Temperature::high && !pastLow && temperature <= *high - h) ||
               (temperature_ == Temperature::low && !pastHigh && temperature >= *low + h)) {
      temperature_ = Temperature::inside;
      notice(text::temperatureBack(name, temperature));
    }
  }

  if (wasRead(humidity) && limits_.highHumidity) {
    const double limit = *limits_.highHumidity;
    if (!humidityPast_ && humidity > limit) {
      humidityPast_ = true;
      alarm(text::humidityHigh(name, humidity, limit));
    } else if (humidityPast_ && humidity <= limit - h) {
      humidityPast_ = false;
      notice(text::humidityBack(name, humidity));
    }
  }

  if (wasRead(temperature) && wasRead(humidity) && limits_.dewPointMargin) {
    const double dew = dewPoint(temperature, humidity);
    const double margin = temperature - dew;
    const double limit = *limits_.dewPointMargin;
    if (std::isfinite(dew)) {
      if (!condensationRisk_ && margin < limit) {
        condensationRisk_ = true;
        alarm(text::condensationRisk(name, dew, margin, limit));
      } else if (condensationRisk_ && margin >= limit + h) {
        condensationRisk_ = false;
        notice(text::condensationOver(name, dew, margin));
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
