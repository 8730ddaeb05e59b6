#include "wire/HousekeepingText.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "config/Limits.h"
#include "wire/TimeText.h"

namespace tmx::wire {

namespace {

// Shortest decimal that reads back as the same double.
void appendValue(std::string &out, const std::optional<double> &v)
{
  if (!v)
    return;
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, *v);
  out.append(buf, r.ptr);
}

// The dew point of the record's readings with 2 decimals; nothing when
// either reading is missing or there is none ("-0.00" is written "0.00").
void appendDewPoint(std::string &out, const HousekeepingRecord &r)
{
  const std::optional<double> d = dewPointOf(r.temperature, r.humidity);
  if (!d)
    return;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", std::round(*d * 100.0) == 0.0 ? 0.0 : *d);
  out += buf;
}

// The same as a JSON number of 2 decimals, or null.
nlohmann::json dewPointJson(const HousekeepingRecord &r)
{
  const std::optional<double> d = dewPointOf(r.temperature, r.humidity);
  if (!d)
    return nullptr;
  const double rounded = std::round(*d * 100.0) / 100.0;
  return rounded == 0.0 ? 0.0 : rounded;
}

// The IDL name of an enumerator (IDL enums count from 0), or "Type(N)" for
// a value outside the enum.
template<std::size_t N>
std::string enumName(unsigned long n, const char *const (&names)[N], const char *type)
{
  return n < N ? std::string(names[n]) : std::string(type) + "(" + std::to_string(n) + ")";
}

} // namespace

const std::string &csvHeader()
{
  static const std::string header =
    "housing,reading_time,reading_time_utc,temperature,humidity,water,arrival_time,dew_point\n";
  return header;
}

std::string csvRow(const HousekeepingRecord &r)
{
  std::string out = housingName(r.housing);
  out += ',';
  out += std::to_string(r.readingTime);
  out += ',';
  out += isoUtc(r.readingTime);
  out += ',';
  appendValue(out, r.temperature);
  out += ',';
  appendValue(out, r.humidity);
  out += r.water ? ",1," : ",0,";
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.3f,", r.arrivalTime);
  out += buf;
  appendDewPoint(out, r);
  out += '\n';
  return out;
}

nlohmann::json jsonRow(const HousekeepingRecord &r)
{
  nlohmann::json j;
  j["housing"] = housingName(r.housing);
  j["readingTime"] = r.readingTime;
  j["readingTimeUtc"] = isoUtc(r.readingTime);
  j["temperature"] = r.temperature ? nlohmann::json(*r.temperature) : nlohmann::json(nullptr);
  j["humidity"] = r.humidity ? nlohmann::json(*r.humidity) : nlohmann::json(nullptr);
  j["water"] = r.water;
  j["arrivalTime"] = r.arrivalTime;
  j["dewPoint"] = dewPointJson(r);
  return j;
}

const char *sentCsvHeader()
{
  return "received,housing,temp,rh,wateralarm,readingTime,readingTimeUtc";
}

std::string sentCsvRow(const SentHousekeeping &hk, std::chrono::system_clock::time_point received)
{
  return isoUtcMillis(received) + "," + housingIdName(hk.housing) + "," + fixed2(hk.temp) + "," +
         fixed2(hk.rh) + "," + (hk.water ? "1" : "0") + "," + std::to_string(hk.readingTime) + "," +
         isoSent(hk.readingTime, "Z");
}

std::string housingIdName(unsigned long housing)
{
  static const char *const names[] = { "ELECTRONICS_HOUSING", "SPECTROGRAPH_HOUSING" };
  return enumName(housing, names, "HousingID");
}

std::string priorityIdName(unsigned long priority)
{
  static const char *const names[] = { "MESSAGE", "WARNING", "ALARM" };
  return enumName(priority, names, "MessagePriority");
}

std::string fixed2(double v)
{
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

} // namespace tmx::wire
