// Alarm texts and suffixes, and the TimedAlarm window, on a stepped clock.
#include "alarms/Alarm.h"
#include "alarms/AlarmManager.h"
#include "tests/alarms/AlarmTestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace alarmtest;

namespace {

class TimedAlarmTest : public ::testing::Test
{
protected:
  // Sights the alarm at the given second of the stepped clock.
  short sightAt(TimedAlarm &alarm, unsigned second)
  {
    clock.setSeconds(second);
    alarm.check();
    return alarm.isTripped();
  }

  FakeClock clock;
  AlarmManager manager; // never activated: registrations only
};

TEST_F(TimedAlarmTest, WindowFiveToTwentySightedEverySecond)
{
  TimedAlarm alarm("Electronics housing water alarm", 5, 20, &manager);
  std::vector<unsigned> trippedAt;
  CaptureFd captured(1);
  for (unsigned s = 0; s <= 30; ++s)
    if (sightAt(alarm, s))
      trippedAt.push_back(s);
  const std::vector<std::string> printed = lines(captured.release());

  // Trips 6 s after the first sighting, then every 7 s: a trip moves the
  // reference point to the next sighting.
  EXPECT_EQ(trippedAt, (std::vector<unsigned>{ 6, 13, 20, 27 }));
  ASSERT_EQ(printed.size(), 4u);
  EXPECT_EQ(printed[0],
            "TimedAlarm Electronics housing water alarm 00:06 since last trip @10:11:12 recover called: "
            "attempting recovery.");
  for (std::size_t i = 1; i < printed.size(); ++i)
    EXPECT_EQ(printed[i],
              "TimedAlarm Electronics housing water alarm 00:06 since last trip @10:11:12 recover "
              "called: no action taken.");
  EXPECT_EQ(alarm.recoveries(), 1u);
}

TEST_F(TimedAlarmTest, RecoveryLinesPrintAtEveryTraceLevel)
{
  TraceLevel quiet(0);
  TimedAlarm alarm("W", 5, 20, &manager);
  CaptureFd captured(1);
  sightAt(alarm, 0);
  sightAt(alarm, 6);
  EXPECT_EQ(captured.release(),
            "TimedAlarm W 00:06 since last trip @10:11:12 recover called: attempting recovery.\n");
}

TEST_F(TimedAlarmTest, GapBeyondMaximumResetsAndTheNextSightingStartsANewWindow)
{
  TimedAlarm alarm("W", 5, 20, &manager);
  CaptureFd captured(1);
  EXPECT_EQ(sightAt(alarm, 0), 0);
  EXPECT_EQ(sightAt(alarm, 6), 1);
  EXPECT_EQ(alarm.recoveries(), 1u);

  EXPECT_EQ(sightAt(alarm, 7), 0); // reference point moves to 7 s
  EXPECT_EQ(sightAt(alarm, 32), 0) << "25 s after the reference point: reset";
  EXPECT_EQ(alarm.sightings(), 0u);
  EXPECT_EQ(alarm.recoveries(), 0u);
  EXPECT_EQ(alarm.elapsedSeconds(), 25u);

  EXPECT_EQ(sightAt(alarm, 33), 0) << "first sighting of a new window";
  EXPECT_EQ(sightAt(alarm, 38), 0);
  EXPECT_EQ(sightAt(alarm, 39), 1) << "6 s after 33";
  const std::vector<std::string> printed = lines(captured.release());
  ASSERT_EQ(printed.size(), 2u);
  EXPECT_NE(printed[1].find("attempting recovery."), std::string::npos)
    << "recoveries start over after a reset";
}

TEST_F(TimedAlarmTest, SightingsAtZeroTwentyFiveAndTwentySix)
{
  TimedAlarm alarm("W", 5, 20, &manager);
  EXPECT_EQ(sightAt(alarm, 0), 0);
  EXPECT_EQ(sightAt(alarm, 25), 0);
  EXPECT_EQ(alarm.sightings(), 0u);
  EXPECT_EQ(sightAt(alarm, 26), 0);
  EXPECT_EQ(alarm.sightings(), 1u);
  EXPECT_EQ(sightAt(alarm, 31), 0);
  CaptureFd captured(1);
  EXPECT_EQ(sightAt(alarm, 32), 1) << "window counted from 26 s";
  captured.release();
}

TEST_F(TimedAlarmTest, SingleSightingThenOneWithinTheWindowTripsAtOnce)
{
  TimedAlarm alarm("W", 5, 20, &manager);
  sightAt(alarm, 100);
  CaptureFd captured(1);
  EXPECT_EQ(sightAt(alarm, 120), 1) << "20 s is inside (5, 20]";
  captured.release();
  TimedAlarm other("W", 5, 20, &manager);
  sightAt(other, 200);
  EXPECT_EQ(sightAt(other, 221), 0) << "21 s is beyond it";
}

TEST_F(TimedAlarmTest, ElapsedTimeSurvivesTheClockWrap)
{
  TimedAlarm alarm("W", 5, 20, &manager);
  clock.setTicks(0xFFFFFFFFu - 2000u);
  alarm.check();
  clock.setTicks(4000u); // 6.001 s later, across the wrap
  CaptureFd captured(1);
  alarm.check();
  captured.release();
  EXPECT_EQ(alarm.elapsedSeconds(), 6u);
  EXPECT_EQ(alarm.isTripped(), 1);
}

TEST_F(TimedAlarmTest, WindowClampingAndDefaults)
{
  TimedAlarm clamped("W", 4000, 10, &manager);
  EXPECT_EQ(clamped.minSeconds(), 3600u);
  EXPECT_EQ(clamped.maxSeconds(), 7200u);
  TimedAlarm high("W", 10, 4000, &manager);
  EXPECT_EQ(high.minSeconds(), 10u);
  EXPECT_EQ(high.maxSeconds(), 3600u);
  TimedAlarm inverted("W", 30, 10, &manager);
  EXPECT_EQ(inverted.maxSeconds(), 60u);
  EXPECT_EQ(clamped.priority(), 2);
  EXPECT_EQ(clamped.isTripped(), 0);
}

TEST_F(TimedAlarmTest, SuffixShowsMinutesAndSecondsAndTheLatestSighting)
{
  TimedAlarm alarm("Spectrograph housing water alarm", 5, 100, &manager);
  // Before a second sighting there is no sighting time: the suffix shows
  // the creation time.
  EXPECT_EQ(alarm.text(), "Spectrograph housing water alarm 00:00 since last trip @10:11:12");
  sightAt(alarm, 0);
  EXPECT_EQ(alarm.text(), "Spectrograph housing water alarm 00:00 since last trip @10:11:12");

  clock.setWall(localTime(2001, 12, 5, 10, 12, 27));
  CaptureFd captured(1);
  sightAt(alarm, 75);
  captured.release();
  EXPECT_EQ(alarm.text(), "Spectrograph housing water alarm 01:15 since last trip @10:12:27");
  clock.setWall(localTime(2001, 12, 5, 10, 12, 30));
  sightAt(alarm, 78);
  sightAt(alarm, 80);
  EXPECT_EQ(alarm.text(), "Spectrograph housing water alarm 00:02 since last trip @10:12:30")
    << "the suffix is replaced, not appended";
}

TEST_F(TimedAlarmTest, ShorterSuffixLeavesNoTraceOfALongerOne)
{
  TimedAlarm alarm("W", 4000, 10, &manager); // window (3600, 7200]
  sightAt(alarm, 0);
  CaptureFd captured(1);
  sightAt(alarm, 6000);
  captured.release();
  EXPECT_EQ(alarm.text(), "W 100:00 since last trip @10:11:12");
  sightAt(alarm, 6001); // was tripped: the reference point moves here
  sightAt(alarm, 6002);
  EXPECT_EQ(alarm.text(), "W 00:01 since last trip @10:11:12");
}

TEST(AlarmTest, TextIsCutTo128AndFollowedByTheCreationTime)
{
  FakeClock clock;
  AlarmManager manager;
  const std::string text(200, 'a');
  Alarm alarm(text.c_str(), 1, &manager);
  EXPECT_EQ(alarm.text(), std::string(128, 'a') + "@10:11:12");
  const std::time_t created = clock.wall();
  clock.setWall(localTime(2001, 12, 5, 23, 59, 59));
  EXPECT_EQ(alarm.text(), std::string(128, 'a') + "@10:11:12") << "the creation time, not the time of asking";
  clock.setWall(created);
  EXPECT_EQ(alarm.priority(), 1);
  EXPECT_EQ(alarm.isTripped(), 1);
  EXPECT_FALSE(alarm.owned());
  EXPECT_EQ(alarm.createdAt().dayOfYear(), 338);

  Alarm exact(std::string(128, 'b').c_str(), 0, &manager);
  EXPECT_EQ(exact.text(), std::string(128, 'b') + "@10:11:12");
  Alarm none(nullptr, 0, &manager);
  EXPECT_EQ(none.text(), "@10:11:12");
}

TEST(AlarmTest, PlainAlarmCheckAndRecoverPrintNothing)
{
  AlarmManager manager;
  Alarm alarm("x", 0, &manager);
  CaptureFd captured(1);
  alarm.check();
  alarm.recover();
  EXPECT_EQ(captured.release(), "");
}

TEST(AlarmTest, RegistersOnceBuiltAndLeavesTheManagerWhenDestroyed)
{
  AlarmManager manager;
  {
    Alarm plain("x", 0, &manager);
    TimedAlarm timed("y", 5, 20, &manager);
    EXPECT_EQ(manager.disabledCount(), 2u);
    EXPECT_EQ(plain.manager(), &manager);
    manager.scanPass();
    EXPECT_EQ(manager.enabledCount(), 1u) << "the plain alarm is tripped";
    EXPECT_EQ(manager.disabledCount(), 1u);
  }
  EXPECT_EQ(manager.enabledCount(), 0u);
  EXPECT_EQ(manager.disabledCount(), 0u);
}

TEST(AlarmTest, DestructionTraces)
{
  FakeClock clock;
  AlarmManager manager;
  TraceLevel level(3);
  CaptureFd captured(1);
  auto timed = std::make_unique<TimedAlarm>("gone", 5, 20, &manager);
  EXPECT_EQ(captured.release(), "gone 00:00 since last trip @10:11:12\n") << "registration, levels 2-4";
  CaptureFd captured2(1);
  timed.reset();
  EXPECT_EQ(captured2.release(), "Destructing TimedAlarm Class \nDestructing Alarm Class gone@10:11:12\n");
}

} // namespace
