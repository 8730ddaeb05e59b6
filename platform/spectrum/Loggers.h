// The loggers file as the library understands it: each logger's read
// argument, description and source (simulated values, a Modbus device or a
// Linux sensor in sysfs). Parsed by LoggersFile.cpp, read by the sources.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace spectrum {

constexpr int channelCount = 2; // 0: temperature, 1: relative humidity
extern const char *const channelNames[channelCount];

enum class SourceKind
{
  sim,
  modbusTcp,
  modbusRtu,
  hwmon,
  iio
};

// A simulated channel: a number, disabled ("off") or failing ("fail").
struct SimChannel
{
  enum State
  {
    number,
    off,
    fail
  } state = off;
  double value = 0.0;
};

// A simulated value drifts as base + drift * sin(2 pi t / period), plus
// Gaussian noise of that standard deviation; both zero: fixed.
struct SimSpec
{
  SimChannel channels[channelCount];
  double drift = 0.0;
  double periodS = 600.0;
  double noise = 0.0;
};

enum class RegisterKind
{
  input,    // function 4
  holding,  // function 3
  discrete, // function 2: a discrete input, 0 or 1
  coil      // function 1: a coil, 0 or 1
};

enum class RegisterType
{
  int16,
  uint16,
  int32,
  uint32,
  float32
};

// One channel of a Modbus device: value = raw * scale + offset.
struct RegisterChannel
{
  bool used = false; // false: the channel is disabled
  RegisterKind kind = RegisterKind::input;
  std::uint16_t address = 0;
  RegisterType type = RegisterType::int16;
  bool swapped = false; // 32-bit types: low word first
  double scale = 1.0;
  double offset = 0.0;
  int bit = -1; // 0..15: the value is that bit of a holding register

  bool isBit() const { return kind == RegisterKind::discrete || kind == RegisterKind::coil; }
  int registers() const
  {
    return isBit() || type == RegisterType::int16 || type == RegisterType::uint16 ? 1 : 2;
  }
};

struct ModbusSpec
{
  std::string host; // TCP
  int port = 502;
  std::string device; // RTU
  int baud = 9600;
  char parity = 'N';
  int dataBits = 8;
  int stopBits = 1;
  int unit = 1;
  int timeoutMs = 500;
  RegisterChannel channels[channelCount];
};

// A Linux sensor under sysfs, found by its name; `path` (optional) must be
// part of the device's resolved directory when several share the name.
struct SysfsSpec
{
  std::string root; // "/sys" or $TMX_SYSFS_ROOT
  std::string name;
  std::string path;
  bool used[channelCount] = { true, true };
};

struct LoggerSpec
{
  std::int32_t readArgument = 0;
  std::string description;
  SourceKind kind = SourceKind::sim;
  unsigned line = 0;
  // The source's words as written, with the sysfs root: equal texts mean
  // an unchanged source, whose poller keeps running across a re-read.
  std::string sourceText;
  int periodMs = 1000;  // how often a device is polled
  double staleS = 10.0; // a device value older than this is a failure
  SimSpec sim;
  ModbusSpec modbus;
  SysfsSpec sysfs;

  bool polled() const { return kind != SourceKind::sim; }
  // Loggers with the same key share one connection and one poller thread
  // (several units on one serial line, several loggers on one server).
  std::string deviceKey() const;
  // The device as texts name it: "10.0.0.5:502 unit 1", "hwmon sht3x".
  std::string deviceName() const;
};

struct LoggersFile
{
  std::string version = "V3.5-Beta3";
  std::vector<LoggerSpec> loggers;
};

// At most this many poller threads (distinct devices) per file.
constexpr std::size_t maxDevices = 32;

// Parses the whole text; sysfsRoot is given to every sysfs source. On the
// first bad line returns false with its number and the problem.
bool parseLoggers(const std::string &text,
                  const std::string &sysfsRoot,
                  LoggersFile &out,
                  unsigned &badLine,
                  std::string &problem);

// A water line read from a Modbus input instead of the port:
// words are SOURCE key=value ... (modbus-tcp or modbus-rtu) with input=
// (discrete:N, coil:N or holding:N:BIT) and wet= (the value that means
// water, 0 or 1). The input is channel 0 of spec; false with the problem.
bool parseWaterInput(const std::vector<std::string> &words, LoggerSpec &spec, int &wet, std::string &problem);

} // namespace spectrum
