// Calendar time: local and UTC breakdowns of the wall clock, and the
// seconds counts used for reading times, alarm times and elapsed time.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

struct CalendarRecord
{
  std::uint8_t hour = 0;       // 0-23
  std::uint8_t minute = 0;     // 0-59
  std::uint8_t second = 0;     // 0-60
  std::uint16_t year = 0;      // local form: full from 2000 on, two digits before
  std::uint8_t month = 0;      // 1-12
  std::uint16_t dayOfYear = 0; // 0-365, 0 is January 1st
  std::uint8_t dayOfMonth = 0; // 1-31
  std::uint8_t weekday = 0;    // 0-6, 0 is Sunday
};

// Breakdowns of a given instant: local time in the host's zone (TZ), and
// UTC with the year in full.
void localAt(std::time_t t, CalendarRecord *record);
void utcAt(std::time_t t, CalendarRecord *record);

// The same for the current wall clock. A null record is ignored.
void localNow(CalendarRecord *record);
void utcNow(CalendarRecord *record);

// Seconds since 1970-01-01 00:00:00 of the record read as UTC (year,
// dayOfYear, hour, minute, second); 0 for a null record.
std::uint32_t toSeconds(const CalendarRecord *record);

// toSeconds(record), or of a fresh utcNow record when record is null.
std::uint32_t currentTime(const CalendarRecord *record = nullptr);

class DateTime
{
public:
  enum Now
  {
    LocalNow,
    UtcNow
  };

  DateTime() = default;
  explicit DateTime(const CalendarRecord *record);
  explicit DateTime(Now which);
  DateTime(const DateTime &other) = default;
  DateTime &operator=(const DateTime &other) = default;
  virtual ~DateTime();

  std::uint16_t hour() const { return record_.hour; }
  std::uint16_t minute() const { return record_.minute; }
  std::uint16_t second() const { return record_.second; }
  std::uint16_t year() const { return record_.year; }
  std::uint16_t month() const { return record_.month; }
  std::uint16_t dayOfYear() const { return record_.dayOfYear; }
  std::uint16_t dayOfMonth() const { return record_.dayOfMonth; }
  std::uint16_t weekday() const { return record_.weekday; }
  // The time of day, "HH:MM:SS".
  std::string clockText() const;
  const CalendarRecord *record() const { return &record_; }
  CalendarRecord *record() { return &record_; }

private:
  CalendarRecord record_;
};
