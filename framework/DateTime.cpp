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

// Leap years in 1..year (proleptic Gregorian).
long long leapYearsThrough(long long year)
{
  return year / 4 - year / 100 + year / 400;
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
  long long year = record->year;
  if (year < 100) // two-digit local form of a year before 2000
    year += 1900;
  const long long days =
    365 * (year - 1970) + (leapYearsThrough(year - 1) - leapYearsThrough(1969)) + record->dayOfYear;
  const long long seconds = days * 86400 + record->hour * 3600LL + record->minute * 60LL + record->second;
  return static_cast<std::uint32_t>(seconds);
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
