#include "framework/Callback.h"
#include "framework/Clock.h"
#include "framework/DateTime.h"
#include "framework/ErrorHandler.h"
#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

using tmx::test::CaptureFd;
using tmx::test::localTime;
using tmx::test::ScopedEnv;

namespace {
std::string traceAllBands(int level)
{
  traceLevel = level;
  CaptureFd capturedOut(1);
  trace(1, 4, "op ");
  trace(2, 4, "handover ");
  trace(3, 4, "detail ");
  trace(4, 4, "pass ");
  std::string out = capturedOut.release();
  traceLevel = 1;
  return out;
}
} // namespace

TEST(Trace, BandsAtLevels0145)
{
  EXPECT_EQ(traceAllBands(0), "");
  EXPECT_EQ(traceAllBands(1), "op ");
  EXPECT_EQ(traceAllBands(3), "op handover detail ");
  EXPECT_EQ(traceAllBands(4), "op handover detail pass ");
  EXPECT_EQ(traceAllBands(5), "");
}

TEST(Trace, FormatsArguments)
{
  CaptureFd capturedOut(1);
  trace(1, 4, "Reset from task %d received\n", 2);
  EXPECT_EQ(capturedOut.release(), "Reset from task 2 received\n");
}

TEST(ErrorHandler, LongTextIsCutTo127AndWrittenToStderr)
{
  ErrorHandler errors;
  EXPECT_EQ(errors.status(), 0);
  const std::string text(200, 'x');
  CaptureFd capturedErr(2);
  errors.set(text.c_str());
  const std::string shown = capturedErr.release();
  EXPECT_EQ(errors.status(), 1);
  EXPECT_EQ(errors.message(), std::string(127, 'x'));
  EXPECT_EQ(shown, std::string(127, 'x') + "\n");
  char buf[ErrorHandler::messageSize];
  errors.copyMessage(buf);
  EXPECT_EQ(std::string(buf), std::string(127, 'x'));
}

TEST(ErrorHandler, WritesAtEveryTraceLevelButBandedTraceDoesNot)
{
  traceLevel = 0;
  ErrorHandler errors;
  CaptureFd capturedOut(1);
  CaptureFd capturedErr(2);
  trace(3, 4, "constructor detail\n");
  errors.set("first");
  errors.set("second");
  const std::string err = capturedErr.release();
  const std::string out = capturedOut.release();
  traceLevel = 1;
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "first\nsecond\n");
  EXPECT_EQ(errors.message(), "second");
}

TEST(ErrorHandler, NullTextOnlySetsStatusAndClearResets)
{
  ErrorHandler errors;
  CaptureFd capturedErr(2);
  errors.set(nullptr);
  EXPECT_EQ(capturedErr.release(), "");
  EXPECT_EQ(errors.status(), 1);
  EXPECT_EQ(errors.message(), "");
  errors.clear();
  EXPECT_EQ(errors.status(), 0);
}

TEST(Exception, TextsAndNullArg)
{
  EXPECT_EQ(Exception().message(), nullptr);
  EXPECT_STREQ(Exception("boom").message(), "boom");
  try {
    throw NullArg(2);
  } catch (const Exception &e) {
    EXPECT_STREQ(e.message(), "Null argument no. 2");
  }
  NullArg original(7);
  NullArg copy = original;
  EXPECT_STREQ(copy.message(), "Null argument no. 7");
  EXPECT_NE(copy.message(), original.message());
}

TEST(PointerArray, GrowthRuleAndBounds)
{
  PointerArray<int> array;
  int values[40] = {};
  EXPECT_EQ(array.capacity(), 0);
  for (int i = 0; i < 10; ++i)
    ASSERT_EQ(array.append(&values[i]), 0);
  EXPECT_EQ(array.capacity(), 10);
  EXPECT_EQ(array.set(10, &values[10]), 0);
  EXPECT_EQ(array.capacity(), 30);
  EXPECT_EQ(array.count(), 11);
  EXPECT_EQ(array.get(10), &values[10]);
  EXPECT_FALSE(array.error());

  EXPECT_EQ(array.set(-1, &values[0]), -1);
  EXPECT_TRUE(array.error());
  EXPECT_EQ(array.get(11), nullptr);
  EXPECT_TRUE(array.error());
  EXPECT_EQ(array.get(0), &values[0]);
  EXPECT_FALSE(array.error());

  PointerArray<int> sparse;
  EXPECT_EQ(sparse.set(25, &values[25]), 0);
  EXPECT_EQ(sparse.capacity(), 30);
  EXPECT_EQ(sparse.count(), 26);
  EXPECT_EQ(sparse.get(3), nullptr);
  EXPECT_FALSE(sparse.error());
}

namespace {
struct FixedClock : ClockSource
{
  std::uint32_t tick = 0;
  std::time_t wall = 0;
  std::uint32_t ticks() override { return tick; }
  std::time_t wallTime() override { return wall; }
};

// A time zone for the life of the object; the clock source is reset too.
struct TzGuard
{
  explicit TzGuard(const char *zone)
    : tz(std::make_unique<ScopedEnv>("TZ", zone))
  {
    tzset();
  }
  ~TzGuard()
  {
    tz.reset();
    tzset();
    setClockSource(nullptr);
  }
  std::unique_ptr<ScopedEnv> tz;
};

// Checks a calendar record's date and time of day.
void expectCalendar(const CalendarRecord &r, int year, int month, int day, int hour, int minute)
{
  EXPECT_EQ(r.year, year);
  EXPECT_EQ(r.month, month);
  EXPECT_EQ(r.dayOfMonth, day);
  EXPECT_EQ(r.hour, hour);
  EXPECT_EQ(r.minute, minute);
}
} // namespace

TEST(Clock, TicksAndSubstitution)
{
  EXPECT_EQ(ticksPerSecond(), 1000);
  const std::uint32_t before = clockTicks();
  sleepMilliseconds(5);
  EXPECT_GE(clockTicks() - before, 5u);

  FixedClock fixed;
  fixed.tick = 123456;
  fixed.wall = 1007773200;
  setClockSource(&fixed);
  EXPECT_EQ(clockTicks(), 123456u);
  EXPECT_EQ(wallClock(), 1007773200);
  EXPECT_EQ(currentTime(), 1007773200u);
  setClockSource(nullptr);
  const std::time_t now = std::time(nullptr);
  const std::time_t restored = wallClock();
  EXPECT_GE(restored, now);
  EXPECT_LE(restored, std::time(nullptr));
}

TEST(DateTime, ToSeconds)
{
  CalendarRecord epoch;
  epoch.year = 1970;
  epoch.month = 1;
  epoch.dayOfMonth = 1;
  EXPECT_EQ(toSeconds(&epoch), 0u);

  CalendarRecord r;
  r.year = 2001;
  r.month = 12;
  r.dayOfMonth = 8;
  r.dayOfYear = 341;
  r.hour = 1;
  EXPECT_EQ(toSeconds(&r), 1007773200u);
  EXPECT_EQ(currentTime(&r), 1007773200u);
  EXPECT_EQ(toSeconds(nullptr), 0u);

  // Leap days: 2000 is a leap year, 2100 is not.
  CalendarRecord y2k;
  y2k.year = 2000;
  y2k.dayOfYear = 59; // 29 February
  EXPECT_EQ(toSeconds(&y2k), 951782400u);
  CalendarRecord y2101;
  y2101.year = 2101;
  EXPECT_EQ(toSeconds(&y2101), 4133980800u);
}

// The count pinned over the calendar's corners: two-digit local years,
// leap days, a leap second, years before 1970 and past 2106 (modulo 2^32).
TEST(DateTime, ToSecondsOverTheCalendar)
{
  struct Case
  {
    std::uint16_t year, dayOfYear;
    std::uint8_t hour, minute, second;
    std::uint32_t seconds;
  };
  for (const Case &c : {
         Case{ 99, 0, 0, 0, 0, 915148800u },        // 1999-01-01
         Case{ 2000, 365, 23, 59, 59, 978307199u }, // 2000-12-31, a leap year's last day
         Case{ 2024, 59, 12, 0, 0, 1709208000u },   // 2024-02-29
         Case{ 1970, 0, 23, 59, 60, 86400u },       // a leap second runs into the next day
         Case{ 1969, 0, 0, 0, 0, 4263431296u },     // before the epoch
         Case{ 2106, 37, 6, 28, 16, 0u },           // 2^32 seconds wrap to 0
       }) {
    CalendarRecord r;
    r.year = c.year;
    r.dayOfYear = c.dayOfYear;
    r.hour = c.hour;
    r.minute = c.minute;
    r.second = c.second;
    EXPECT_EQ(toSeconds(&r), c.seconds) << c.year << " day " << c.dayOfYear;
  }
}

TEST(DateTime, ClockTextIsZeroPadded)
{
  struct Case
  {
    std::uint8_t hour, minute, second;
    const char *text;
  };
  for (const Case &c :
       { Case{ 0, 0, 0, "00:00:00" }, Case{ 9, 5, 3, "09:05:03" }, Case{ 23, 59, 60, "23:59:60" } }) {
    CalendarRecord r;
    r.hour = c.hour;
    r.minute = c.minute;
    r.second = c.second;
    EXPECT_EQ(DateTime(&r).clockText(), c.text);
  }
}

TEST(DateTime, PacificStandardTimeToUtc)
{
  TzGuard tz("America/Los_Angeles");
  const std::time_t t = localTime(2001, 12, 7, 17, 0);
  CalendarRecord local;
  localAt(t, &local);
  EXPECT_EQ(local.year, 2001);
  EXPECT_EQ(local.hour, 17);
  EXPECT_EQ(local.dayOfMonth, 7);

  FixedClock fixed;
  fixed.wall = t;
  setClockSource(&fixed);
  CalendarRecord utc;
  utcNow(&utc);
  expectCalendar(utc, 2001, 12, 8, 1, 0);
  EXPECT_EQ(utc.second, 0);
  EXPECT_EQ(utc.dayOfYear, 341);
  EXPECT_EQ(utc.weekday, 6);
  EXPECT_EQ(currentTime(), 1007773200u);

  DateTime now(DateTime::LocalNow);
  EXPECT_EQ(now.hour(), 17);
  EXPECT_EQ(now.weekday(), 5);
  DateTime copy(now);
  EXPECT_EQ(copy.dayOfMonth(), 7);
  EXPECT_EQ(DateTime(DateTime::UtcNow).dayOfMonth(), 8);
}

TEST(DateTime, PacificDaylightTimeToUtc)
{
  TzGuard tz("America/Los_Angeles");
  const std::time_t t = localTime(2001, 7, 4, 12, 0);
  CalendarRecord utc;
  utcAt(t, &utc);
  expectCalendar(utc, 2001, 7, 4, 19, 0);
}

TEST(DateTime, LocalYearBefore2000HasTwoDigits)
{
  TzGuard tz("UTC");
  FixedClock fixed;
  fixed.wall = 915148800; // 1999-01-01 00:00:00 UTC
  setClockSource(&fixed);
  CalendarRecord local;
  localNow(&local);
  EXPECT_EQ(local.year, 99);
  EXPECT_EQ(toSeconds(&local), 915148800u);
  CalendarRecord utc;
  utcNow(&utc);
  EXPECT_EQ(utc.year, 1999);
  localNow(nullptr);
  utcNow(nullptr);
}
