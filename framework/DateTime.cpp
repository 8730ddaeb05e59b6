#include "framework/DateTime.h"

#include "framework/Clock.h"

namespace {
void fill(const std::tm &tm, std::uint16_t year, CalendarRecord *record)
{
  record->hour = static_cast<std::uint8_t>(tm.tm_hour);
  record->minute = static_cast<std::uint8_t>(tm.tm_min);
  record->second = static_cast<std::uint8_t>(tm.tm_sec);
  record->year = year;
  record->month = static_cast<std::uint8_t>(tm.tm_mon + 1);
  record->dayOfYear = static_cast<std::uint16_t>(tm.tm_yday);
  record->dayOfMonth = static_cast<std::uint8_t>(tm.tm_mday);
  record->weekday = static_cast<std::uint8_t>(tm.tm_wday);
}
} // namespace

void localAt(std::time_t t, CalendarRecord *record)
{
  if (record == nullptr)
    return;
  std::tm tm{};
  localtime_r(&t, &tm);
  // The local form keeps two digits for years before 2000.
  const int year = tm.tm_year <= 99 ? tm.tm_year : tm.tm_year + 1900;
  fill(tm, static_cast<std::uint16_t>(year), record);
}

void utcAt(std::time_t t, CalendarRecord *record)
{
  if (record == nullptr)
    return;
  std::tm tm{};
  gmtime_r(&t, &tm);
  fill(tm, static_cast<std::uint16_t>(tm.tm_year + 1900), record);
}

void localNow(CalendarRecord *record)
{
  localAt(wallClock(), record);
}

void utcNow(CalendarRecord *record)
{
  utcAt(wallClock(), record);
}

std::uint32_t toSeconds(const CalendarRecord *record)
{
  if (record == nullptr)
    return 0;
  std::tm tm{};
  // The two-digit local form stands for a year before 2000.
  tm.tm_year = record->year < 100 ? record->year : record->year - 1900;
  // January with the day of the year as its day: timegm carries it (and a
  // leap second) over into the right month and day.
  tm.tm_mday = 1 + record->dayOfYear;
  tm.tm_hour = record->hour;
  tm.tm_min = record->minute;
  tm.tm_sec = record->second;
  // Modulo 2^32, as the readings and alarm times carry it.
  return static_cast<std::uint32_t>(timegm(&tm));
}

std::uint32_t currentTime(const CalendarRecord *record)
{
  if (record != nullptr)
    return toSeconds(record);
  CalendarRecord now;
  utcNow(&now);
  return toSeconds(&now);
}

DateTime::DateTime(const CalendarRecord *record)
{
  if (record != nullptr)
    record_ = *record;
}

DateTime::DateTime(Now which)
{
  if (which == LocalNow)
    localNow(&record_);
  else
    utcNow(&record_);
}

DateTime::~DateTime() = default;

std::string DateTime::clockText() const
{
  std::tm tm{};
  tm.tm_hour = record_.hour;
  tm.tm_min = record_.minute;
  tm.tm_sec = record_.second;
  char text[16];
  return std::string(text, std::strftime(text, sizeof text, "%H:%M:%S", &tm));
}
