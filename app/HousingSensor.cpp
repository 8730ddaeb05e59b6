#include "app/HousingSensor.h"

#include "alarms/Alarm.h"
#include "app/Configuration.h"
#include "config/AlarmTexts.h"
#include "framework/ErrorHandler.h"
#include "platform/dlportio/DlPortIO.h"
#include "platform/spectrum/Spectrum.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// atoi without its undefined overflow: leading blanks, a sign, digits;
// no digits gives 0, out-of-range values saturate.
std::int32_t toInteger(const std::string &text)
{
  long long v = std::strtoll(text.c_str(), nullptr, 10);
  if (v > INT32_MAX)
    return INT32_MAX;
  if (v < INT32_MIN)
    return INT32_MIN;
  return static_cast<std::int32_t>(v);
}

// A value written as "0x%x" or "0X%x"; false leaves `out` alone.
bool readHex(const std::string &text, std::uint32_t &out)
{
  unsigned v = 0;
  if (std::sscanf(text.c_str(), "0x%x", &v) == 1 || std::sscanf(text.c_str(), "0X%x", &v) == 1) {
    out = v;
    return true;
  }
  return false;
}

// A failure as the outage logic compares it: status and text, with every
// run of digits as '#', so that a text that only counts on (the age of a
// stale value, "for 12 s") is the same failure.
std::string failureKey(std::int32_t status, const char *text)
{
  std::string key = std::to_string(status) + ":";
  for (const char *p = text; *p; ++p) {
    bool digit = *p >= '0' && *p <= '9';
    if (!digit)
      key += *p;
    else if (key.back() != '#')
      key += '#';
  }
  return key;
}

} // namespace

DataLogger::~DataLogger() = default;

std::int32_t DataLogger::check(std::int32_t status)
{
  lastStatus_ = status;
  if (status != 0) {
    char text[SPECTRUM_TEXT_SIZE + 1] = {};
    SPUTL_FormatStatusCode(status, text);
    text[SPECTRUM_TEXT_SIZE] = '\0';
    reportError(text);
  }
  return status;
}

std::int32_t DataLogger::checkRead(std::int32_t status, std::int32_t channel)
{
  lastStatus_ = status;
  if (status == 0)
    return status;
  char text[SPECTRUM_TEXT_SIZE + 1] = {};
  SPUTL_FormatStatusCode(status, text);
  text[SPECTRUM_TEXT_SIZE] = '\0';
  failing_[channel == 0 ? 0 : 1] = true;
  // Failures of the two channels may alternate: each text is reported once
  // per outage.
  if (outage_.size() < maxFailureTexts && outage_.insert(failureKey(status, text)).second)
    reportError(text);
  return status;
}

void DataLogger::readOk(std::int32_t channel)
{
  failing_[channel == 0 ? 0 : 1] = false;
  if (outage_.empty() || failing_[0] || failing_[1])
    return;
  outage_.clear();
  reportMessage(tmx::alarmtext::loggerReadsAgain(description_).c_str());
}

std::int32_t DataLogger::initialize(const char *sensorId, Configuration *config)
{
  initialized_ = false;
  readArgument_ = 0;
  outage_.clear();
  failing_[0] = failing_[1] = false;
  std::string expected = defaultVersion;
  if (!sensorId)
    sensorId = "";
  if (config) {
    std::unique_ptr<ConfigItem> item;
    if (config->getItem(sensorId, item) == 1 && item && item->valueCount() >= 2) {
      expected = item->values[0].substr(0, SPECTRUM_TEXT_SIZE - 1);
      readArgument_ = toInteger(item->values[1]);
    }
  }

  char version[SPECTRUM_TEXT_SIZE] = {};
  if (check(SPAPI_GetApiVersion(version)) != 0)
    return lastStatus_;
  version[SPECTRUM_TEXT_SIZE - 1] = '\0';
  if (expected != version) {
    reportError("Invalid API version detected");
    return -1;
  }

  readOption_ = 0;
  if (check(SPAPI_SetProtocol(0)) != 0)
    return lastStatus_;
  if (check(SPLGR_CreateLoggerObject(&loggerHandle_)) != 0)
    return lastStatus_;
  if (check(SPLGR_ReadChannelValues(loggerHandle_, readArgument_, readOption_)) != 0)
    return lastStatus_;

  char description[SPECTRUM_TEXT_SIZE] = {};
  if (check(SPLGR_GetDescription(loggerHandle_, description)) != 0)
    return lastStatus_;
  description[SPECTRUM_TEXT_SIZE - 1] = '\0';
  if (std::strcmp(description, sensorId) != 0) {
    reportError("Invalid description detected");
    return -1;
  }

  description_ = description;
  initialized_ = true;
  return 0;
}

std::int32_t DataLogger::readChannel(long channel, double &value)
{
  if (!initialized_)
    return -1;
  const auto ch = static_cast<std::int32_t>(channel);
  if (checkRead(SPLGR_ReadChannelValues(loggerHandle_, readArgument_, readOption_), ch) != 0)
    return lastStatus_;

  // A failed enable query is reported and returned like any other status
  // rather than read as "disabled".
  int enabled = 0;
  if (checkRead(SPLGR_GetChannelEnabled(loggerHandle_, ch, &enabled), ch) != 0)
    return lastStatus_;

  // A disabled channel has no reading: it stores -1.0, the "no value" mark
  // of the housekeeping record.
  double v = -1.0;
  if (enabled) {
    if (checkRead(SPLGR_GetChannelValue(loggerHandle_, ch, &v), ch) != 0)
      return lastStatus_;
    char units[SPECTRUM_UNITS_SIZE] = {};
    if (checkRead(SPLGR_GetChannelUnits(loggerHandle_, ch, units), ch) != 0)
      return lastStatus_;
    units[SPECTRUM_UNITS_SIZE - 1] = '\0';
    char line[400]; // room for any finite double with two decimals
    std::snprintf(line, sizeof line, "%12.2lf %-4.4s", v, units);
    trace(1, 4, "%s\n", line);
  }
  readOk(ch);
  value = v;
  return 0;
}

HousingSensor::HousingSensor(const char *name)
  : name_(name ? name : "")
{
  DlPortSetErrorReporter(&reportError);
}

HousingSensor::~HousingSensor() = default;

std::int32_t HousingSensor::initialize(const char *sensorId, Configuration *config)
{
  std::int32_t result = logger_.initialize(sensorId, config);
  portAddress_ = defaultPortAddress;
  waterMask_ = defaultWaterMask;
  if (config && sensorId) {
    std::unique_ptr<ConfigItem> item;
    if (config->getItem(sensorId, item) == 1 && item && item->valueCount() == 4) {
      readHex(item->values[2], portAddress_);
      readHex(item->values[3], waterMask_);
    }
  }
  return result;
}

std::int32_t HousingSensor::sample(HousingReading &reading)
{
  reading.temperature = -1.0;
  reading.humidity = -1.0;
  trace(1, 4, "Sampling temp for %s\n", name_.c_str());
  if (logger_.readTemperature(reading.temperature) == -1)
    reading.temperature = -1.0;
  trace(1, 4, "Sampling relative humidity for %s\n", name_.c_str());
  if (logger_.readHumidity(reading.humidity) == -1)
    reading.humidity = -1.0;
  reading.waterAlarm = readWater();
  return reading.waterAlarm;
}

std::int32_t HousingSensor::readWater()
{
  if (portAddress_ < lowestPortAddress)
    return 0;
  std::uint8_t byte = DlPortReadPortUchar(portAddress_ + 1);
  // The status byte is read as a signed register value: widened with its
  // top bit copied upwards, so mask bits above bit 7 see the sign.
  auto widened = static_cast<std::int32_t>(static_cast<std::int8_t>(byte));
  return (static_cast<std::uint32_t>(widened) & waterMask_) == 0 ? 1 : 0;
}
