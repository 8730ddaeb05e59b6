// Limit alarms of one housing: its optional "<sensor id>-LIMITS" entry in
// tmx.cfg, the dew point of its air, and a checker that turns successive
// readings into alarm and notice texts as values go past a limit and come
// back inside it. The checker has no clock and no threads of its own; the
// periodic handler feeds it every housekeeping sample.
#pragma once

#include <optional>
#include <string>
#include <vector>

class Configuration;

// Entry "<sensor id>-LIMITS LOW,HIGH,RH,MARGIN,HYSTERESIS": lowest and
// highest temperature (degC), highest relative humidity (%RH), least
// distance of the temperature above its dew point (degC), and the dead band
// a value must come back by (in the unit of the limit it comes back to). A
// value "-", or one missing at the end, means no such limit (no dead band
// for the hysteresis).
struct HousingLimits
{
  std::optional<double> lowTemperature;
  std::optional<double> highTemperature;
  std::optional<double> highHumidity;
  std::optional<double> dewPointMargin;
  double hysteresis = 0.0;

  bool any() const { return lowTemperature || highTemperature || highHumidity || dewPointMargin; }
};

// Parses an entry's values. false, with the reason in `why` and `limits`
// untouched, when the entry is malformed: a value that is not a finite
// number, more than five values, the lowest temperature above the highest,
// a negative margin or hysteresis.
bool parseHousingLimits(const std::vector<std::string> &values, HousingLimits &limits, std::string &why);

// The key of a sensor's entry: the sensor id with "-LIMITS" appended.
std::string housingLimitsKey(const std::string &sensorId);

// The limits of `sensorId` from the configuration; none without an entry.
// A malformed entry is reported through reportError as "Malformed limits
// entry ignored (REASON): KEY V1,V2,..." and gives no limits.
HousingLimits readHousingLimits(Configuration &config, const std::string &sensorId);

// Dew point in degC by the Magnus formula over water (17.62, 243.12 degC).
// NaN when there is none to compute (humidity not above 0).
double dewPoint(double temperature, double humidity);

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
