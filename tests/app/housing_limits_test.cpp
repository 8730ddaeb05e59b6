// Housing limits: the checker's transitions and the entry read from the
// configuration (the entry's values and the dew point: tests/config;
// logging and publication: EndToEndTest).
#include "app/HousingLimits.h"

#include "alarms/AlarmManager.h"
#include "app/Configuration.h"
#include "tests/alarms/AlarmTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace alarmtest;

namespace {

// One sample and the events it must give: "A text" for an alarm, "N text"
// for a notice.
struct Step
{
  double temperature, humidity;
  std::vector<std::string> events;
};

std::vector<std::string> tagged(const std::vector<LimitEvent> &events)
{
  std::vector<std::string> out;
  for (const LimitEvent &e : events)
    out.push_back((e.alarm ? "A " : "N ") + e.text);
  return out;
}

void runSteps(const char *entry, const std::vector<Step> &steps)
{
  std::vector<std::string> values;
  for (const char *p = entry; *p;) {
    const char *comma = std::strchr(p, ',');
    values.emplace_back(p, comma ? comma : p + std::strlen(p));
    p = comma ? comma + 1 : p + std::strlen(p);
  }
  HousingLimits limits;
  std::string why;
  if (*entry) {
    ASSERT_TRUE(parseHousingLimits(values, limits, why)) << why;
  }
  HousingLimitChecker checker("Electronics housing", limits);
  for (std::size_t i = 0; i < steps.size(); ++i)
    EXPECT_EQ(tagged(checker.check(steps[i].temperature, steps[i].humidity)), steps[i].events)
      << "entry " << entry << ", step " << i;
}

const std::string E = "Electronics housing ";

TEST(HousingLimitChecker, TemperatureAlarmsOnceAndRecoversBeyondTheHysteresis)
{
  runSteps("5,35,-,-,0.5",
           {
             { 24.10, 35.5, {} },
             { 36.20, 35.5, { "A " + E + "temperature high: 36.20 degC (limit 35.00)" } },
             { 37.00, 35.5, {} }, // stays past
             { 34.80, 35.5, {} }, // inside, but within the hysteresis
             { 35.50, 35.5, {} }, // past again: not raised again
             { -1.0, 35.5, {} },  // not read
             { 34.50, 35.5, { "N " + E + "temperature back within limits: 34.50 degC" } },
             { 34.00, 35.5, {} },
             { 4.10, 35.5, { "A " + E + "temperature low: 4.10 degC (limit 5.00)" } },
             { 5.30, 35.5, {} },
             { 40.00, 35.5, { "A " + E + "temperature high: 40.00 degC (limit 35.00)" } }, // straight across
             { 34.10, 35.5, { "N " + E + "temperature back within limits: 34.10 degC" } },
           });
}

TEST(HousingLimitChecker, HumidityAndCondensationRisk)
{
  runSteps("-,-,60,-,0.5",
           {
             { 20, 65.0, { "A " + E + "humidity high: 65.0 %RH (limit 60.0)" } },
             { 20, 59.7, {} },
             { 20, -1.0, {} },
             { -1.0, 70.0, {} },
             { 20, 59.5, { "N " + E + "humidity back within limits: 59.5 %RH" } },
           });
  runSteps("-,-,-,3,0.5",
           {
             { 24.10, 80.0, {} }, // margin 3.67
             { 24.10,
               90.0,
               { "A " + E +
                 "condensation risk: dew point 22.36 degC, 1.74 degC below the housing temperature "
                 "(margin 3.00)" } },
             { 24.10, 83.0, {} }, // margin 3.07: within the hysteresis
             { -1.0, 99.0, {} },  // no temperature, no dew point
             { 24.10, -1.0, {} },
             { 24.10,
               78.0,
               { "N " + E +
                 "condensation risk over: dew point 20.02 degC, 4.08 degC below the housing temperature" } },
           });
}

TEST(HousingLimitChecker, UnreadValuesAndNoLimitsGiveNothing)
{
  // -1.0 would be past the low limit and far from the dew point: never compared.
  runSteps("5,35,-,3", { { -1.0, -1.0, {} }, { -1.0, 95.0, {} }, { 20, -1.0, {} } });
  runSteps("", { { 100, 100, {} }, { -40, 0, {} } });
}

// A malformed entry, reported through the process-wide manager.
class LimitReporting : public ProcessWideManagerTest
{};

TEST_F(LimitReporting, MalformedEntryIsReportedOnceWithItsText)
{
  dir.write("tmx.cfg",
            "TMX-E1 V3.5-Beta3,2,0x378,0x40\n"
            "TMX-E1-LIMITS 40,35,60\t# swapped\n"
            "TMX-S1-LIMITS -,30,-,2\n");
  AppConfiguration config;
  ASSERT_EQ(config.initialize("tmx.cfg", dir.path()), 1);
  EXPECT_FALSE(readHousingLimits(config, "TMX-E1").any());
  const HousingLimits s1 = readHousingLimits(config, "TMX-S1");
  EXPECT_EQ(s1.highTemperature, 30.0);
  EXPECT_EQ(s1.dewPointMargin, 2.0);
  EXPECT_FALSE(readHousingLimits(config, "TMX-X9").any());
  manager.scanPass();
  const auto messages = sink.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text,
            "ERROR: Malformed limits entry ignored (lowest temperature above highest): TMX-E1-LIMITS "
            "40,35,60@10:11:12");
  EXPECT_EQ(messages[0].priority, ALARM);
}

} // namespace
