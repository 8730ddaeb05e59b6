// Limit alarms of one housing: its optional "<sensor id>-LIMITS" entry in
// tmx.cfg (parsed in config/Limits.h, with the dew point), and a checker
// that turns successive readings into alarm and notice texts as values go
// past a limit and come back inside it. The checker has no clock and no
// threads of its own; the periodic handler feeds it every housekeeping
// sample.
#pragma once

#include "config/Limits.h"

#include <optional>
#include <string>
#include <vector>

class Configuration;

// The limits of `sensorId` from the configuration; none without an entry.
// A malformed entry is reported through reportError as "Malformed limits
// entry ignored (REASON): KEY V1,V2,..." and gives no limits.
HousingLimits readHousingLimits(Configuration &config, const std::string &sensorId);

struct LimitEvent
{
  bool alarm = false; // true: gone past a limit; false: back inside it
  std::string text;
};

class HousingLimitChecker
{
public:
  // A reading of exactly this value could not be taken and is never
  // compared with a limit.
  static constexpr double notRead = -1.0;

  // `housing` starts every text ("Electronics housing").
  explicit HousingLimitChecker(std::string housing, HousingLimits limits = {});

  // One sample. Returns, in order, an alarm for each limit the sample is
  // newly past and a notice for each limit it is back inside by at least
  // the hysteresis; nothing while a value stays past, nothing for values
  // not read. A temperature going from past one limit straight to past the
  // other gives only the alarm of the other.
  std::vector<LimitEvent> check(double temperature, double humidity);

  const HousingLimits &limits() const { return limits_; }

private:
  enum class Temperature
  {
    inside,
    low,
    high
  };

  std::string housing_;
  HousingLimits limits_;
  Temperature temperature_ = Temperature::inside;
  bool humidityPast_ = false;
  bool condensationRisk_ = false;
};

// Raises each event: an alarm as a one-shot ALARM, a notice through
// reportMessage; both are logged and published by the alarm manager.
void raiseLimitEvents(const std::vector<LimitEvent> &events);
