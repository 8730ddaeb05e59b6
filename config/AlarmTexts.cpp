#include "config/AlarmTexts.h"

#include <algorithm>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string_view>

namespace tmx::alarmtext {

namespace {

using Effect = Recognised::Effect;

// How a text reaches tmx-web.
enum class Published
{
  plain, // raiseAlarm or reportMessage: the text, then "@hh:mm:ss"
  error, // reportError: "ERROR: " + text, then "@hh:mm:ss"
  timed  // the timed water alarm: text, " mm:ss since last trip @hh:mm:ss"
};

// One text: its printf format as the monitor (or the logger library) makes
// it, and what each conversion means, one letter each:
//   H  the housing's name (housingName); gives the housing
//   D  a logger's description or device; the source, and the housing when
//      it is a housing's sensor id
//   S  part of the source, as written;  X  part of the source, "0x" + hex
//   V  the value;  -  nothing
// Several source parts are joined with '/'.
struct Text
{
  const char *format;
  const char *roles;
  AlarmKind kind;
  Effect effect;
  Published published;
};

constexpr Text startingText{ "Initializing alarm/msg log file",
                             "",
                             AlarmKind::other,
                             Effect::monitorStarted,
                             Published::plain };
constexpr Text waterText{ "%s water alarm", "H", AlarmKind::water, Effect::trips, Published::error };
constexpr Text waterTimedText{ "%s water alarm", "H", AlarmKind::water, Effect::trips, Published::timed };
constexpr Text temperatureHighText{ "%s temperature high: %.2f degC (limit %.2f)",
                                    "HV-",
                                    AlarmKind::temperatureHigh,
                                    Effect::trips,
                                    Published::plain };
constexpr Text temperatureLowText{ "%s temperature low: %.2f degC (limit %.2f)",
                                   "HV-",
                                   AlarmKind::temperatureLow,
                                   Effect::trips,
                                   Published::plain };
constexpr Text temperatureBackText{ "%s temperature back within limits: %.2f degC",
                                    "HV",
                                    AlarmKind::temperatureHigh,
                                    Effect::clears,
                                    Published::plain };
constexpr Text humidityHighText{ "%s humidity high: %.1f %%RH (limit %.1f)",
                                 "HV-",
                                 AlarmKind::humidityHigh,
                                 Effect::trips,
                                 Published::plain };
constexpr Text humidityBackText{ "%s humidity back within limits: %.1f %%RH",
                                 "HV",
                                 AlarmKind::humidityHigh,
                                 Effect::clears,
                                 Published::plain };
// The value is the margin: how far the dew point is below the temperature.
constexpr Text condensationText{
  "%s condensation risk: dew point %.2f degC, %.2f degC below the housing temperature (margin %.2f)",
  "H-V-",
  AlarmKind::condensation,
  Effect::trips,
  Published::plain
};
constexpr Text condensationOverText{
  "%s condensation risk over: dew point %.2f degC, %.2f degC below the housing temperature",
  "H-V",
  AlarmKind::condensation,
  Effect::clears,
  Published::plain
};
constexpr Text loggerBackText{ "Logger %s reads again",
                               "D",
                               AlarmKind::logger,
                               Effect::clears,
                               Published::plain };
constexpr Text portText{ "Cannot read port 0x%x from %s: %s",
                         "X--",
                         AlarmKind::port,
                         Effect::trips,
                         Published::error };
constexpr Text waterLineText{ "Cannot read water line 0x%x/0x%x: %s",
                              "XX-",
                              AlarmKind::port,
                              Effect::trips,
                              Published::error };
constexpr Text portMapText{ "Port map %s cannot be used: %s",
                            "S-",
                            AlarmKind::port,
                            Effect::trips,
                            Published::error };
constexpr Text logWriteText{ "Cannot write log file %s: %s",
                             "--",
                             AlarmKind::logWrite,
                             Effect::trips,
                             Published::error };
constexpr Text logWriteBackText{ "Log file write failed (%s): %llu lines lost",
                                 "--",
                                 AlarmKind::logWrite,
                                 Effect::clears,
                                 Published::error };

// The logger library's status texts (SPUTL_FormatStatusCode), reported by
// the monitor through reportError. Only some name the logger.
constexpr Text loggerError(const char *format, const char *roles = "")
{
  return { format, roles, AlarmKind::logger, Effect::trips, Published::error };
}

constexpr Text texts[] = {
  startingText,
  waterText,
  waterTimedText,
  temperatureHighText,
  temperatureLowText,
  temperatureBackText,
  humidityHighText,
  humidityBackText,
  condensationText,
  condensationOverText,
  loggerBackText,
  portText,
  waterLineText,
  portMapText,
  logWriteText,
  logWriteBackText,
  loggerError("%s channel of logger %s is disabled", "-D"),
  loggerError("%s channel of logger %s failed to read", "-D"),
  loggerError("logger %s has no channel %d", "D-"),
  loggerError("no reading from %s for %d s: %s", "D--"),
  loggerError("no logger with read argument %d in %s", "--"),
  loggerError("logger object %u has no channel values (read them first)", "-"),
  loggerError("logger object %u is not connected to a logger", "-"),
  loggerError("no logger object with handle %u", "-"),
  loggerError("loggers file %s cannot be read: %s", "--"),
  loggerError("loggers file %s line %u: %s", "---"),
  loggerError("logger simulation file %s cannot be read: %s", "--"),
  loggerError("logger simulation file %s line %u: %s", "---"),
  loggerError("loggers file not set (TMX_LOGGERS or TMX_LOGGER_SIM)"),
  loggerError("logger simulation file cannot be read"),
  loggerError("logger simulation file malformed"),
  loggerError("no logger with that read argument"),
  loggerError("invalid logger object handle"),
  loggerError("logger object has no channel values"),
  loggerError("invalid channel"),
  loggerError("channel disabled"),
  loggerError("channel failed to read"),
  loggerError("no reading from the device"),
  loggerError("unknown logger library status %d", "-"),
};

std::string format(const char *fmt, ...)
{
  va_list args;
  va_start(args, fmt);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, fmt, args);
  va_end(args);
  std::string text;
  if (n > 0) {
    text.resize(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(&text[0], text.size(), fmt, again);
    text.resize(static_cast<std::size_t>(n));
  }
  va_end(again);
  return text;
}

// ---------------------------------------------------------------- matching

// Longer texts are none of the monitor's (a message holds 128 characters);
// the bound also bounds the work of matching.
constexpr std::size_t longestText = 1024;
constexpr std::size_t messageLength = 128;
constexpr int maxConversions = 4;
constexpr std::string_view errorPrefix = "ERROR: ";

bool isDigit(char c)
{
  return c >= '0' && c <= '9';
}

bool startsWith(std::string_view text, std::string_view start)
{
  return text.substr(0, start.size()) == start;
}

// The text without the manager's "@hh:mm:ss"; at the message bound, where
// the suffix may be cut, without any start of it.
std::string_view withoutTime(std::string_view text)
{
  const std::size_t at = text.rfind('@');
  if (at == std::string_view::npos)
    return text;
  const std::string_view rest = text.substr(at + 1);
  constexpr std::string_view shape = "00:00:00";
  if (rest.size() > shape.size())
    return text;
  for (std::size_t i = 0; i < rest.size(); ++i)
    if (shape[i] == ':' ? rest[i] != ':' : !isDigit(rest[i]))
      return text;
  return rest.size() == shape.size() || text.size() >= messageLength ? text.substr(0, at) : text;
}

// Takes " mm:ss since last trip " off the end of `text`; false when it has
// none.
bool withoutTripTime(std::string_view &text)
{
  constexpr std::string_view tail = " since last trip ";
  if (text.size() < tail.size() || text.substr(text.size() - tail.size()) != tail)
    return false;
  const std::string_view s = text.substr(0, text.size() - tail.size());
  std::size_t i = s.size();
  if (i < 3 || !isDigit(s[i - 1]) || !isDigit(s[i - 2]) || s[i - 3] != ':')
    return false;
  i -= 3;
  std::size_t j = i;
  while (j > 0 && isDigit(s[j - 1]))
    --j;
  if (i - j < 2 || j == 0 || s[j - 1] != ' ')
    return false;
  text = s.substr(0, j - 1);
  return true;
}

// The length of the number a conversion wrote at the start of `text`; 0
// for none.
std::size_t numberLength(char conversion, std::string_view text)
{
  std::size_t i = 0;
  if (conversion != 'x' && conversion != 'u' && i < text.size() && text[i] == '-')
    ++i;
  if (conversion == 'f' && (startsWith(text.substr(i), "nan") || startsWith(text.substr(i), "inf")))
    return i + 3;
  const std::size_t digits = i;
  while (i < text.size() && (isDigit(text[i]) || (conversion == 'x' && text[i] >= 'a' && text[i] <= 'f')))
    ++i;
  if (i == digits)
    return 0;
  if (conversion == 'f' && i + 1 < text.size() && text[i] == '.' && isDigit(text[i + 1])) {
    i += 2;
    while (i < text.size() && isDigit(text[i]))
      ++i;
  }
  return i;
}

struct Capture
{
  char role = '-';
  std::string_view text;
  int housing = -1; // for role H
};

// Whether `text` is what `format` (from conversion n on) writes; fills
// `captures`. Strings are matched shortest first, and only where the
// format's next character follows.
bool matchFrom(const char *format, const char *roles, std::string_view text, Capture *captures, int n)
{
  while (*format != '\0') {
    if (format[0] != '%' || format[1] == '%') {
      const std::size_t width = format[0] == '%' ? 2 : 1;
      if (text.empty() || text.front() != format[0])
        return false;
      text.remove_prefix(1);
      format += width;
      continue;
    }
    ++format;
    while (*format != '\0' && std::strchr("0123456789.lhz", *format) != nullptr)
      ++format;
    const char conversion = *format;
    if (conversion == '\0' || n >= maxConversions || roles[n] == '\0')
      return false;
    ++format;
    Capture &capture = captures[n];
    capture.role = roles[n];
    if (conversion == 's' && capture.role == 'H') {
      for (int h = 0; h < housingCount; ++h) {
        const std::string_view name = housingName(h);
        if (!startsWith(text, name))
          continue;
        capture.text = name;
        capture.housing = h;
        if (matchFrom(format, roles, text.substr(name.size()), captures, n + 1))
          return true;
      }
      return false;
    }
    if (conversion == 's') {
      const char next = *format;
      // Last in the format: the rest of the text.
      const std::size_t shortest = capture.role == '-' ? 0 : 1;
      const std::size_t least = next == '\0' ? std::max(text.size(), shortest) : shortest;
      for (std::size_t length = least; length <= text.size(); ++length) {
        if (next != '\0' && next != '%' && (length == text.size() || text[length] != next))
          continue;
        capture.text = text.substr(0, length);
        if (matchFrom(format, roles, text.substr(length), captures, n + 1))
          return true;
      }
      return false;
    }
    const std::size_t length = numberLength(conversion, text);
    if (length == 0)
      return false;
    capture.text = text.substr(0, length);
    text.remove_prefix(length);
    ++n;
  }
  return text.empty() && roles[n] == '\0';
}

std::optional<Recognised> matchText(const Text &entry, std::string_view text)
{
  Capture captures[maxConversions];
  if (!matchFrom(entry.format, entry.roles, text, captures, 0))
    return std::nullopt;
  Recognised r;
  r.effect = entry.effect;
  r.kind = entry.kind;
  for (int n = 0; entry.roles[n] != '\0'; ++n) {
    const Capture &c = captures[n];
    const std::string part = c.role == 'X' ? "0x" + std::string(c.text) : std::string(c.text);
    switch (c.role) {
      case 'H':
        r.housing = c.housing;
        break;
      case 'D':
        for (int h = 0; h < housingCount; ++h)
          if (c.text == sensorId(h))
            r.housing = h;
        [[fallthrough]];
      case 'S':
      case 'X':
        r.source += (r.source.empty() ? "" : "/") + part;
        break;
      case 'V': {
        double value = 0;
        const char *end = c.text.data() + c.text.size();
        const auto result = std::from_chars(c.text.data(), end, value);
        if (result.ec == std::errc() && result.ptr == end)
          r.value = value;
        break;
      }
      default:
        break;
    }
  }
  return r;
}

std::optional<Recognised> recogniseText(std::string_view published)
{
  const std::string_view text = withoutTime(published);
  std::string_view untimed = text;
  const bool timed = withoutTripTime(untimed);
  const bool error = startsWith(text, errorPrefix);
  for (const Text &entry : texts) {
    std::string_view body = entry.published == Published::timed && timed ? untimed : text;
    if (entry.published == Published::error) {
      if (!error)
        continue;
      body.remove_prefix(errorPrefix.size());
    }
    if (auto r = matchText(entry, body)) {
      r->accompanies = entry.published == Published::timed;
      return r;
    }
  }
  return std::nullopt;
}

} // namespace

// ---------------------------------------------------------------- kinds

namespace {

// In the order of AlarmKind.
constexpr const char *kindNames[] = {
  "water", "temperature-high", "temperature-low", "humidity-high", "condensation", "logger",
  "port",  "log-write",        "monitor-silent",  "notifier",      "other"
};
static_assert(std::size(kindNames) == static_cast<std::size_t>(AlarmKind::other) + 1, "a name per kind");

} // namespace

const char *kindName(AlarmKind kind)
{
  const auto i = static_cast<std::size_t>(kind);
  return i < std::size(kindNames) ? kindNames[i] : "other";
}

std::optional<AlarmKind> parseKind(const std::string &name)
{
  for (int k = 0; k <= static_cast<int>(AlarmKind::other); ++k) {
    const auto kind = static_cast<AlarmKind>(k);
    if (name == kindName(kind))
      return kind;
  }
  return std::nullopt;
}

// ---------------------------------------------------------------- recognition

std::optional<Recognised> recognise(int priority, const std::string &text)
{
  std::optional<Recognised> r;
  if (text.size() <= longestText)
    r = recogniseText(text);
  if (!r && priority == 2)
    r = Recognised{};
  return r;
}

bool ends(const Recognised &message,
          AlarmKind kind,
          const std::optional<int> &housing,
          const std::string &source)
{
  if (kind == AlarmKind::monitorSilent || kind == AlarmKind::notifier)
    return false;
  // Records, not a notice, end a water alarm: a start leaves it.
  if (message.effect == Effect::monitorStarted)
    return kind != AlarmKind::water;
  auto isTemperature = [](AlarmKind k) {
    return k == AlarmKind::temperatureHigh || k == AlarmKind::temperatureLow;
  };
  const bool temperatures = isTemperature(kind) && isTemperature(message.kind) && message.housing == housing;
  if (message.effect == Effect::trips)
    return temperatures && message.kind != kind;
  if (temperatures)
    return true;
  if (message.kind != kind)
    return false;
  if (kind == AlarmKind::logger && !housing)
    return true;
  return message.housing == housing && message.source == source;
}

// ---------------------------------------------------------------- texts

const char *housingName(int housing)
{
  return housing == 0 ? "Electronics housing" : housing == 1 ? "Spectrograph housing" : "";
}

const char *sensorId(int housing)
{
  return housing == 0 ? "TMX-E1" : housing == 1 ? "TMX-S1" : "";
}

const char *const monitorStarting = startingText.format;

std::string waterAlarm(int housing)
{
  return format(waterText.format, housingName(housing));
}

std::string temperatureHigh(const std::string &housing, double value, double limit)
{
  return format(temperatureHighText.format, housing.c_str(), value, limit);
}

std::string temperatureLow(const std::string &housing, double value, double limit)
{
  return format(temperatureLowText.format, housing.c_str(), value, limit);
}

std::string temperatureBack(const std::string &housing, double value)
{
  return format(temperatureBackText.format, housing.c_str(), value);
}

std::string humidityHigh(const std::string &housing, double value, double limit)
{
  return format(humidityHighText.format, housing.c_str(), value, limit);
}

std::string humidityBack(const std::string &housing, double value)
{
  return format(humidityBackText.format, housing.c_str(), value);
}

std::string condensationRisk(const std::string &housing, double dewPoint, double margin, double limit)
{
  return format(condensationText.format, housing.c_str(), dewPoint, margin, limit);
}

std::string condensationOver(const std::string &housing, double dewPoint, double margin)
{
  return format(condensationOverText.format, housing.c_str(), dewPoint, margin);
}

std::string loggerReadsAgain(const std::string &description)
{
  return format(loggerBackText.format, description.c_str());
}

std::string portReadFailed(unsigned port, const std::string &path, const std::string &reason)
{
  return format(portText.format, port, path.c_str(), reason.c_str());
}

std::string waterLineReadFailed(unsigned port, unsigned mask, const std::string &reason)
{
  return format(waterLineText.format, port, mask, reason.c_str());
}

std::string portMapUnusable(const std::string &path, const std::string &problem)
{
  return format(portMapText.format, path.c_str(), problem.c_str());
}

std::string logWriteFailed(const std::string &path, const std::string &error)
{
  return format(logWriteText.format, path.c_str(), error.c_str());
}

std::string logWriteRecovered(const std::string &error, std::uint64_t linesLost)
{
  return format(logWriteBackText.format, error.c_str(), static_cast<unsigned long long>(linesLost));
}

} // namespace tmx::alarmtext
