// The sensors of one housing: a temperature and humidity data logger read
// through the logger library, and a water-leak line on a parallel port's
// status register.
#pragma once

#include <cstdint>
#include <set>
#include <string>

class Configuration;

// One full reading; -1.0 marks a value that could not be read.
struct HousingReading
{
  double temperature = -1.0;
  double humidity = -1.0;
  std::int32_t waterAlarm = 0;
};

// One logger. Nothing is released in the library when it goes away.
class DataLogger
{
public:
  static constexpr const char *defaultVersion = "V3.5-Beta3";

  DataLogger() = default;
  virtual ~DataLogger();

  // Checks the library version and the logger's description against the
  // configuration line of `sensorId` (value 1: version, value 2: read
  // argument) and connects the logger. 0, -1 on a mismatch, or the
  // library's nonzero status (reported already).
  std::int32_t initialize(const char *sensorId, Configuration *config);
  // 0 and the value (-1.0 for a disabled channel), -1 when not
  // initialised, or the library's nonzero status. A failure is reported
  // once per outage of the logger (a different failure text again), and
  // the first good reading of both channels after it once with a notice.
  std::int32_t readChannel(long channel, double &value);
  std::int32_t readTemperature(double &value) { return readChannel(0, value); }
  std::int32_t readHumidity(double &value) { return readChannel(1, value); }

  std::int32_t lastStatus() const { return lastStatus_; }
  std::uint32_t loggerHandle() const { return loggerHandle_; }
  bool initialized() const { return initialized_; }
  std::int32_t readArgument() const { return readArgument_; }
  std::uint32_t readOption() const { return readOption_; }

private:
  // Stores the status; a nonzero one is turned into text and reported.
  std::int32_t check(std::int32_t status);
  // Stores the status of a read of `channel`; reports a nonzero one unless
  // that failure was reported in this outage already.
  std::int32_t checkRead(std::int32_t status, std::int32_t channel);
  // A good reading of `channel`; ends the outage when both read again.
  void readOk(std::int32_t channel);

  std::int32_t lastStatus_ = 0;
  std::uint32_t loggerHandle_ = 0;
  bool initialized_ = false;
  std::int32_t readArgument_ = 0;
  std::uint32_t readOption_ = 0;
  std::string description_;
  // The failures reported in the current outage (none while reading), at
  // most maxFailureTexts, and which channels failed at their latest read.
  static constexpr std::size_t maxFailureTexts = 16;
  std::set<std::string> outage_;
  bool failing_[2] = { false, false };
};

class HousingSensor
{
public:
  static constexpr std::uint32_t defaultPortAddress = 0x378;
  static constexpr std::uint32_t defaultWaterMask = 0x40;
  // Ports below this have no water sensor.
  static constexpr std::uint32_t lowestPortAddress = 0x278;

  // `name` ("Electronics Housing", "Spectrograph Housing") is used in
  // trace lines. Port read failures are reported through reportError.
  explicit HousingSensor(const char *name);
  virtual ~HousingSensor();

  // Initialises the logger, then reads port and mask (values 3 and 4 of a
  // line with exactly four values, "0x%x" or "0X%x") even when the logger
  // failed. Returns the logger's result.
  std::int32_t initialize(const char *sensorId, Configuration *config);
  // Fills the reading and returns its water state.
  std::int32_t sample(HousingReading &reading);
  // 1 when the water line reads wet (low), else 0.
  std::int32_t readWater();

  const std::string &name() const { return name_; }
  DataLogger &logger() { return logger_; }
  std::uint32_t portAddress() const { return portAddress_; }
  std::uint32_t waterMask() const { return waterMask_; }

private:
  std::string name_;
  DataLogger logger_;
  std::uint32_t portAddress_ = defaultPortAddress;
  std::uint32_t waterMask_ = defaultWaterMask;
};
