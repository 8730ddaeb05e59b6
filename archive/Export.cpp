#include "archive/Export.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "config/Limits.h"
#include "archive/TimeText.h"

namespace tmx::archive {

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
  return j;
}

} // namespace tmx::archive
