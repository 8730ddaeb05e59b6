// The limits of a housing as its "<sensor id>-LIMITS" entry in tmx.cfg
// gives them, and the dew point they are about. Shared by the monitor
// (which checks them) and the tools (which show them).
#pragma once

#include "config/ConfigFormat.h"

#include <optional>
#include <string>
#include <vector>

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

// The limits an entry gives; none for no entry (null). A malformed entry
// gives none and sets `error` to "Malformed limits entry ignored (REASON):
// KEY V1,V2,..."; `error` is left alone otherwise.
HousingLimits housingLimitsOf(const ConfigItem *entry, std::string &error);
// The same for the first entry of `sensorId` among a file's entries.
HousingLimits housingLimitsOf(const std::vector<ConfigEntry> &entries,
                              const std::string &sensorId,
                              std::string &error);

// Dew point in degC by the Magnus formula over water (17.62, 243.12 degC).
// NaN when there is none to compute (humidity not above 0).
double dewPoint(double temperature, double humidity);
// The same for readings that may be missing; nullopt when either is
// missing or there is no dew point.
std::optional<double> dewPointOf(const std::optional<double> &temperature,
                                 const std::optional<double> &humidity);
