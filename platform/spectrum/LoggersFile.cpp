// The loggers file:
//
//   # comment (a line whose first non-blank character is '#')
//   version TEXT                                  (default "V3.5-Beta3")
//   logger READARG DESCRIPTION TEMPERATURE HUMIDITY         (fixed values)
//   logger READARG DESCRIPTION SOURCE key=value ...   [# trailing comment]
//
// SOURCE is sim, modbus-tcp, modbus-rtu, hwmon or iio; a value is a number,
// "off" or "fail". A Modbus channel is KIND:ADDRESS[:TYPE[:SCALE[:OFFSET]]].
#include "platform/spectrum/Loggers.h"

#include "platform/spectrum/Spectrum.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

namespace spectrum {

const char *const channelNames[channelCount] = { "temperature", "humidity" };

namespace {

// Thrown on a bad line; caught by parseLoggers.
struct Problem
{
  std::string text;
};

[[noreturn]] void bad(const std::string &text)
{
  throw Problem{ text };
}

bool toInteger(const std::string &token, long long &out, int base = 10)
{
  if (token.empty())
    return false;
  errno = 0;
  char *end = nullptr;
  out = std::strtoll(token.c_str(), &end, base);
  return errno == 0 && *end == '\0' && end != token.c_str();
}

bool toNumber(const std::string &token, double &out)
{
  char *end = nullptr;
  out = std::strtod(token.c_str(), &end);
  return !token.empty() && *end == '\0' && std::isfinite(out);
}

long long integerOption(const std::string &key, const std::string &value, long long lo, long long hi)
{
  long long v = 0;
  if (!toInteger(value, v) || v < lo || v > hi)
    bad(key + " must be an integer from " + std::to_string(lo) + " to " + std::to_string(hi) + ": " + value);
  return v;
}

double numberOption(const std::string &key, const std::string &value, double lo, double hi)
{
  double v = 0;
  if (!toNumber(value, v) || v < lo || v > hi)
    bad(key + " must be a number from " + std::to_string(lo) + " to " + std::to_string(hi) + ": " + value);
  return v;
}

SimChannel simChannel(const std::string &name, const std::string &token)
{
  SimChannel c;
  if (token == "off")
    c.state = SimChannel::off;
  else if (token == "fail")
    c.state = SimChannel::fail;
  else if (toNumber(token, c.value))
    c.state = SimChannel::number;
  else
    bad(name + " is not a number, off or fail: " + token);
  return c;
}

std::vector<std::string> split(const std::string &text, char sep)
{
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, sep))
    parts.push_back(part);
  if (!text.empty() && text.back() == sep)
    parts.emplace_back();
  return parts;
}

RegisterChannel registerChannel(const std::string &key, const std::string &text)
{
  RegisterChannel c;
  if (text == "off")
    return c;
  const std::string form = key + " must be KIND:ADDRESS[:TYPE[:SCALE[:OFFSET]]]: " + text;
  std::vector<std::string> parts = split(text, ':');
  if (parts.size() < 2 || parts.size() > 5)
    bad(form);
  c.used = true;
  if (parts[0] == "input")
    c.kind = RegisterKind::input;
  else if (parts[0] == "holding")
    c.kind = RegisterKind::holding;
  else
    bad(key + ": register kind is input or holding: " + parts[0]);
  long long address = 0;
  bool hex = parts[1].size() > 2 && (parts[1].compare(0, 2, "0x") == 0 || parts[1].compare(0, 2, "0X") == 0);
  if (!(hex ? toInteger(parts[1].substr(2), address, 16) : toInteger(parts[1], address)) || address < 0 ||
      address > 65535)
    bad(key + ": register address is 0 to 65535 (decimal or 0x..): " + parts[1]);
  c.address = static_cast<std::uint16_t>(address);
  if (parts.size() > 2) {
    static const std::map<std::string, RegisterType> types = { { "int16", RegisterType::int16 },
                                                               { "uint16", RegisterType::uint16 },
                                                               { "int32", RegisterType::int32 },
                                                               { "uint32", RegisterType::uint32 },
                                                               { "float32", RegisterType::float32 } };
    std::string type = parts[2];
    const std::string suffix = "-swapped";
    if (type.size() > suffix.size() &&
        type.compare(type.size() - suffix.size(), suffix.size(), suffix) == 0) {
      c.swapped = true;
      type.resize(type.size() - suffix.size());
    }
    auto found = types.find(type);
    if (found == types.end())
      bad(key + ": type is int16, uint16, int32, uint32 or float32 (32-bit ones with -swapped): " + parts[2]);
    c.type = found->second;
    if (c.swapped && c.registers() == 1)
      bad(key + ": only 32-bit types can be -swapped: " + parts[2]);
  }
  if (c.address + c.registers() > 65536)
    bad(key + ": registers beyond address 65535: " + text);
  if (parts.size() > 3 && !toNumber(parts[3], c.scale))
    bad(key + ": scale is not a number: " + parts[3]);
  if (parts.size() > 4 && !toNumber(parts[4], c.offset))
    bad(key + ": offset is not a number: " + parts[4]);
  return c;
}

// The key=value options of a source, each used once; a key the source does
// not know is an error.
class Options
{
public:
  Options(const std::string &source, const std::vector<std::string> &words)
    : source_(source)
  {
    for (const std::string &word : words) {
      std::size_t eq = word.find('=');
      if (eq == std::string::npos || eq == 0)
        bad(source + ": expected key=value: " + word);
      if (!values_.emplace(word.substr(0, eq), word.substr(eq + 1)).second)
        bad(source + ": option given twice: " + word.substr(0, eq));
    }
  }

  // The value of key, or nullptr; marks the key as known.
  const std::string *get(const std::string &key)
  {
    known_.insert(key);
    auto it = values_.find(key);
    return it == values_.end() ? nullptr : &it->second;
  }

  const std::string &required(const std::string &key)
  {
    const std::string *v = get(key);
    if (!v || v->empty())
      bad(source_ + " needs " + key + "=");
    return *v;
  }

  void rejectUnknown() const
  {
    for (const auto &kv : values_)
      if (!known_.count(kv.first))
        bad("unknown option for " + source_ + ": " + kv.first);
  }

private:
  std::string source_;
  std::map<std::string, std::string> values_;
  std::set<std::string> known_;
};

void pollOptions(Options &opts, LoggerSpec &spec)
{
  if (const std::string *v = opts.get("period"))
    spec.periodMs = static_cast<int>(integerOption("period", *v, 10, 3600000));
  if (const std::string *v = opts.get("stale"))
    spec.staleS = numberOption("stale", *v, 0.01, 86400);
}

void simSource(Options &opts, LoggerSpec &spec)
{
  for (int c = 0; c < channelCount; ++c)
    if (const std::string *v = opts.get(c == 0 ? "temp" : "rh"))
      spec.sim.channels[c] = simChannel(channelNames[c], *v);
  if (const std::string *v = opts.get("drift"))
    spec.sim.drift = numberOption("drift", *v, 0, 1e6);
  if (const std::string *v = opts.get("period"))
    spec.sim.periodS = numberOption("period", *v, 1e-3, 1e9);
  if (const std::string *v = opts.get("noise"))
    spec.sim.noise = numberOption("noise", *v, 0, 1e6);
}

// A water line's input: discrete:N, coil:N or holding:N:BIT.
RegisterChannel waterInput(const std::string &text)
{
  std::vector<std::string> parts = split(text, ':');
  RegisterChannel c;
  c.used = true;
  long long address = -1, bit = -1;
  bool holding = parts.size() == 3 && parts[0] == "holding";
  if (!(parts.size() == 2 && (parts[0] == "discrete" || parts[0] == "coil")) && !holding)
    bad("input must be discrete:N, coil:N or holding:N:BIT: " + text);
  if (!toInteger(parts[1], address) || address < 0 || address > 65535)
    bad("input address is 0 to 65535: " + parts[1]);
  if (holding && (!toInteger(parts[2], bit) || bit < 0 || bit > 15))
    bad("input bit is 0 to 15: " + parts[2]);
  c.kind = holding ? RegisterKind::holding : parts[0] == "coil" ? RegisterKind::coil : RegisterKind::discrete;
  c.address = static_cast<std::uint16_t>(address);
  c.type = RegisterType::uint16;
  c.bit = static_cast<int>(bit);
  return c;
}

// The options of a Modbus source other than its channels.
void modbusConnection(Options &opts, LoggerSpec &spec)
{
  ModbusSpec &m = spec.modbus;
  if (spec.kind == SourceKind::modbusTcp) {
    m.host = opts.required("host");
    if (const std::string *v = opts.get("port"))
      m.port = static_cast<int>(integerOption("port", *v, 1, 65535));
  } else {
    m.device = opts.required("device");
    if (const std::string *v = opts.get("baud"))
      m.baud = static_cast<int>(integerOption("baud", *v, 50, 4000000));
    if (const std::string *v = opts.get("format")) {
      static const std::set<std::string> formats = { "8N1", "8E1", "8O1", "8N2" };
      if (!formats.count(*v))
        bad("format is 8N1, 8E1, 8O1 or 8N2: " + *v);
      m.parity = (*v)[1];
      m.stopBits = (*v)[2] - '0';
    }
  }
  if (const std::string *v = opts.get("unit"))
    m.unit = static_cast<int>(integerOption("unit", *v, 0, 255));
  if (const std::string *v = opts.get("timeout"))
    m.timeoutMs = static_cast<int>(integerOption("timeout", *v, 1, 60000));
  pollOptions(opts, spec);
}

void modbusSource(Options &opts, LoggerSpec &spec)
{
  ModbusSpec &m = spec.modbus;
  modbusConnection(opts, spec);
  for (int c = 0; c < channelCount; ++c) {
    const char *key = c == 0 ? "temp" : "rh";
    if (const std::string *v = opts.get(key))
      m.channels[c] = registerChannel(key, *v);
  }
  if (!m.channels[0].used && !m.channels[1].used)
    bad("no channel: give temp= or rh=");
}

void sysfsSource(Options &opts, LoggerSpec &spec, const std::string &root)
{
  spec.sysfs.root = root;
  spec.sysfs.name = opts.required("name");
  if (const std::string *v = opts.get("path"))
    spec.sysfs.path = *v;
  pollOptions(opts, spec);
  for (int c = 0; c < channelCount; ++c) {
    const char *key = c == 0 ? "temp" : "rh";
    if (const std::string *v = opts.get(key)) {
      if (*v != "off" && *v != "on")
        bad(std::string(key) + " is on or off: " + *v);
      spec.sysfs.used[c] = *v == "on";
    }
  }
  if (!spec.sysfs.used[0] && !spec.sysfs.used[1])
    bad("both channels off");
}

const std::map<std::string, SourceKind> sourceKinds = { { "sim", SourceKind::sim },
                                                        { "modbus-tcp", SourceKind::modbusTcp },
                                                        { "modbus-rtu", SourceKind::modbusRtu },
                                                        { "hwmon", SourceKind::hwmon },
                                                        { "iio", SourceKind::iio } };

// fields: the words after "logger" up to a trailing comment.
LoggerSpec loggerLine(const std::vector<std::string> &fields, const std::string &root)
{
  if (fields.size() < 3)
    bad("expected: logger READARG DESCRIPTION TEMPERATURE HUMIDITY, or logger READARG DESCRIPTION SOURCE "
        "OPTIONS");
  LoggerSpec spec;
  long long arg = 0;
  if (!toInteger(fields[0], arg) || arg < INT32_MIN || arg > INT32_MAX)
    bad("read argument is not a decimal integer: " + fields[0]);
  spec.readArgument = static_cast<std::int32_t>(arg);
  if (fields[1].size() >= SPECTRUM_TEXT_SIZE)
    bad("description longer than 255 characters");
  spec.description = fields[1];

  auto kind = sourceKinds.find(fields[2]);
  if (kind == sourceKinds.end()) {
    if (fields.size() != 4)
      bad("expected: logger READARG DESCRIPTION TEMPERATURE HUMIDITY, or a source (sim, modbus-tcp, "
          "modbus-rtu, hwmon, iio)");
    for (int c = 0; c < channelCount; ++c)
      spec.sim.channels[c] = simChannel(channelNames[c], fields[2 + c]);
    return spec;
  }
  spec.kind = kind->second;
  std::vector<std::string> words(fields.begin() + 3, fields.end());
  for (std::size_t i = 2; i < fields.size(); ++i)
    spec.sourceText += fields[i] + " ";
  Options opts(fields[2], words);
  switch (spec.kind) {
    case SourceKind::sim:
      simSource(opts, spec);
      break;
    case SourceKind::modbusTcp:
    case SourceKind::modbusRtu:
      modbusSource(opts, spec);
      break;
    case SourceKind::hwmon:
    case SourceKind::iio:
      sysfsSource(opts, spec, root);
      spec.sourceText += "root=" + root;
      break;
  }
  opts.rejectUnknown();
  return spec;
}

// Loggers on one serial line must agree on its settings.
void checkSharedLine(const LoggerSpec &spec, const std::vector<LoggerSpec> &earlier)
{
  for (const LoggerSpec &other : earlier) {
    if (other.kind != SourceKind::modbusRtu || other.deviceKey() != spec.deviceKey())
      continue;
    const ModbusSpec &a = spec.modbus, &b = other.modbus;
    if (a.baud != b.baud || a.parity != b.parity || a.stopBits != b.stopBits)
      bad("serial line " + a.device + " has other settings on line " + std::to_string(other.line));
  }
}

} // namespace

std::string LoggerSpec::deviceKey() const
{
  switch (kind) {
    case SourceKind::sim:
      return {};
    case SourceKind::modbusTcp:
      return "tcp " + modbus.host + ":" + std::to_string(modbus.port);
    case SourceKind::modbusRtu:
      return "rtu " + modbus.device;
    case SourceKind::hwmon:
    case SourceKind::iio:
      break;
  }
  return sourceText;
}

std::string LoggerSpec::deviceName() const
{
  switch (kind) {
    case SourceKind::sim:
      return description;
    case SourceKind::modbusTcp:
      return modbus.host + ":" + std::to_string(modbus.port) + " unit " + std::to_string(modbus.unit);
    case SourceKind::modbusRtu:
      return modbus.device + " unit " + std::to_string(modbus.unit);
    case SourceKind::hwmon:
      return "hwmon " + sysfs.name + (sysfs.path.empty() ? "" : " (" + sysfs.path + ")");
    case SourceKind::iio:
      return "iio " + sysfs.name + (sysfs.path.empty() ? "" : " (" + sysfs.path + ")");
  }
  return description;
}

bool parseWaterInput(const std::vector<std::string> &words, LoggerSpec &spec, int &wet, std::string &problem)
{
  try {
    if (words.empty() || (words[0] != "modbus-tcp" && words[0] != "modbus-rtu"))
      bad("a water line's source is modbus-tcp or modbus-rtu");
    spec.kind = words[0] == "modbus-tcp" ? SourceKind::modbusTcp : SourceKind::modbusRtu;
    for (const std::string &w : words)
      spec.sourceText += w + " ";
    Options opts(words[0], std::vector<std::string>(words.begin() + 1, words.end()));
    modbusConnection(opts, spec);
    spec.modbus.channels[0] = waterInput(opts.required("input"));
    wet = static_cast<int>(integerOption("wet", opts.required("wet"), 0, 1));
    opts.rejectUnknown();
  } catch (const Problem &p) {
    problem = p.text;
    return false;
  }
  return true;
}

bool parseLoggers(const std::string &text,
                  const std::string &sysfsRoot,
                  LoggersFile &out,
                  unsigned &badLine,
                  std::string &problem)
{
  std::istringstream in(text);
  std::string line;
  unsigned lineNo = 0;
  bool haveVersion = false;
  std::map<std::int32_t, unsigned> argumentLines;
  std::set<std::string> devices;
  try {
    while (std::getline(in, line)) {
      ++lineNo;
      badLine = lineNo;
      if (!line.empty() && line.back() == '\r')
        line.pop_back();
      std::size_t start = line.find_first_not_of(" \t");
      if (start == std::string::npos || line[start] == '#')
        continue;
      std::istringstream words(line.substr(start));
      std::string keyword;
      words >> keyword;
      if (keyword == "version") {
        std::size_t from = line.find_first_not_of(" \t", start + keyword.size());
        std::size_t to = line.find_last_not_of(" \t");
        if (from == std::string::npos)
          bad("version line without a version text");
        std::string version = line.substr(from, to - from + 1);
        if (version.size() >= SPECTRUM_TEXT_SIZE)
          bad("version text longer than 255 characters");
        if (haveVersion)
          bad("second version line");
        haveVersion = true;
        out.version = version;
      } else if (keyword == "logger") {
        std::vector<std::string> fields;
        std::string field;
        while (words >> field && field[0] != '#')
          fields.push_back(field);
        LoggerSpec spec = loggerLine(fields, sysfsRoot);
        spec.line = lineNo;
        auto seen = argumentLines.find(spec.readArgument);
        if (seen != argumentLines.end())
          bad("read argument " + fields[0] + " already used on line " + std::to_string(seen->second));
        if (spec.polled()) {
          checkSharedLine(spec, out.loggers);
          devices.insert(spec.deviceKey());
          if (devices.size() > maxDevices)
            bad("more than " + std::to_string(maxDevices) + " devices");
        }
        argumentLines[spec.readArgument] = lineNo;
        out.loggers.push_back(std::move(spec));
      } else {
        bad("unknown keyword: " + keyword);
      }
    }
  } catch (const Problem &p) {
    problem = p.text;
    return false;
  }
  return true;
}

} // namespace spectrum
