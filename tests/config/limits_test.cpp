// The housing limits entry and the dew point, as the monitor and the tools
// share them (tmx_config alone, no ACE or CORBA).
#include "config/Limits.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

TEST(DewPoint, MatchesPublishedTablesOverWater)
{
  // Tables give the dew point to 0.1 degC.
  struct Case
  {
    double temperature, humidity, dewPoint;
  };
  for (const Case &c :
       { Case{ 20, 50, 9.3 }, Case{ 25, 60, 16.7 }, Case{ 30, 80, 26.2 }, Case{ 10, 90, 8.4 } })
    EXPECT_NEAR(dewPoint(c.temperature, c.humidity), c.dewPoint, 0.06) << c.temperature << " " << c.humidity;
  EXPECT_NEAR(dewPoint(20, 50), 9.26, 0.005);
  EXPECT_NEAR(dewPoint(-7.5, 100), -7.5, 1e-9) << "saturated air is at its dew point";
  EXPECT_TRUE(std::isnan(dewPoint(20, 0)));
}

TEST(HousingLimitsEntry, ParsesValuesAndRejectsMalformedOnes)
{
  using V = std::vector<std::string>;
  const auto none = std::optional<double>();
  struct Case
  {
    V values;
    std::string why; // empty: accepted
    std::optional<double> low{}, high{}, rh{}, margin{};
    double hysteresis = 0.0;
  };
  const Case cases[] = {
    { V{ "5", "35", "60", "3", "0.5" }, "", 5.0, 35.0, 60.0, 3.0, 0.5 },
    { V{ "-", "35" }, "", none, 35.0, none, none, 0.0 },
    { V{ "-10.5" }, "", -10.5, none, none, none, 0.0 },
    { V{ "-", "-", "-", "2", "-" }, "", none, none, none, 2.0, 0.0 },
    { V{ "20", "20", "-", "0", "0" }, "", 20.0, 20.0, none, 0.0, 0.0 },
    { V{ "x" }, "lowest temperature not a number" },
    { V{ "5", "35abc" }, "highest temperature not a number" },
    { V{ "5", "35", "nan" }, "highest humidity not a number" },
    { V{ "5", "35", "60", "inf" }, "dew-point margin not a number" },
    { V{ "40", "35" }, "lowest temperature above highest" },
    { V{ "5", "35", "60", "-1" }, "negative dew-point margin" },
    { V{ "5", "35", "60", "3", "-0.5" }, "negative hysteresis" },
    { V{ "5", "35", "60", "3", "0.5", "1" }, "more than five values" },
  };
  for (const Case &c : cases) {
    HousingLimits limits;
    limits.hysteresis = 99;
    std::string why;
    const bool ok = parseHousingLimits(c.values, limits, why);
    const std::string entry = ::testing::PrintToString(c.values);
    EXPECT_EQ(ok, c.why.empty()) << entry;
    EXPECT_EQ(why, c.why) << entry;
    if (!ok) {
      EXPECT_EQ(limits.hysteresis, 99) << entry << " left untouched";
      continue;
    }
    EXPECT_EQ(limits.lowTemperature, c.low) << entry;
    EXPECT_EQ(limits.highTemperature, c.high) << entry;
    EXPECT_EQ(limits.highHumidity, c.rh) << entry;
    EXPECT_EQ(limits.dewPointMargin, c.margin) << entry;
    EXPECT_EQ(limits.hysteresis, c.hysteresis) << entry;
  }
}

TEST(HousingLimitsEntry, FoundByTheSensorIdAndReportedWhenMalformed)
{
  std::vector<ConfigEntry> entries;
  ASSERT_EQ(1,
            configformat::parseEntries("TMX-E1 1,2\nTMX-S1-LIMITS 5,3\t# bad\nTMX-E1-LIMITS -,35,-,2\n"
                                       "TMX-E1-LIMITS 1,2\n",
                                       entries));
  std::string error;
  const HousingLimits e1 = housingLimitsOf(entries, "TMX-E1", error);
  EXPECT_EQ(error, "");
  EXPECT_EQ(e1.highTemperature, 35.0) << "the first entry of the key counts";
  EXPECT_EQ(e1.dewPointMargin, 2.0);
  EXPECT_FALSE(housingLimitsOf(entries, "TMX-S1", error).any());
  EXPECT_EQ(error, "Malformed limits entry ignored (lowest temperature above highest): TMX-S1-LIMITS 5,3");
  error.clear();
  EXPECT_FALSE(housingLimitsOf(entries, "TMX-X9", error).any());
  EXPECT_EQ(error, "");
}

} // namespace
