// The periodic handler against the simulated logger library and a port
// file, with a stepped process clock: record contents and order, and the
// water alarm's trip times.
#include "app/TmxHandlers.h"
#include "app/Configuration.h"
#include "app/HousingSensor.h"
#include "framework/Clock.h"
#include "framework/TaskSynchronizer.h"
#include "tests/support/Recording.h"

#include <TMX.hh>

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

using tmx::test::RecordingSink;
using tmx::test::ScopedEnv;
using tmx::test::TempDir;

namespace {

class SteppedClock : public ClockSource
{
public:
  std::uint32_t ticks() override { return now; }
  std::uint32_t now = 100000;
};

// Electronics and spectrograph on one port, lines 0x40 and 0x20.
class HandlerTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    dir_.write("loggers.sim", "version V3.5-Beta3\nlogger 1 TMX-S1 18.25 41.0\nlogger 2 TMX-E1 24.10 35.5\n");
    dir_.write("port.dev", std::string(0x400, '\xFF'));
    dir_.write("tmx.cfg", "TMX-S1 V3.5-Beta3,1,0x378,0x20\nTMX-E1 V3.5-Beta3,2,0x378,0x40\n");
    ASSERT_EQ(config_.initialize("tmx.cfg"), 1);
    ASSERT_EQ(spectrograph_.initialize("TMX-S1", &config_), 0);
    ASSERT_EQ(electronics_.initialize("TMX-E1", &config_), 0);
    setClockSource(&clock_);
  }

  void TearDown() override { setClockSource(nullptr); }

  void setStatus(unsigned char byte)
  {
    std::FILE *f = std::fopen(port_.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::fseek(f, 0x379, SEEK_SET);
    std::fputc(byte, f);
    std::fclose(f);
  }

  TempDir dir_{ "tmx-handlers" };
  const std::string port_ = dir_.file("port.dev");
  ScopedEnv simEnv_{ "TMX_LOGGER_SIM", dir_.file("loggers.sim") };
  ScopedEnv portEnv_{ "TMX_PORT_DEVICE", port_ };
  ScopedEnv configEnv_{ "TMX_CONFIG_DIR", dir_.path() };
  AppConfiguration config_;
  HousingSensor spectrograph_{ "Spectrograph Housing" };
  HousingSensor electronics_{ "Electronics Housing" };
  TaskSynchronizer sync_{ "Test", 3 };
  RecordingSink sink_;
  SteppedClock clock_;
  Callback dummy_{ nullptr };
};

TEST_F(HandlerTest, RegistersFiveAndOneSecondRates)
{
  TmxPeriodicHandler handler("TMX", &sync_, &sink_, &electronics_, &spectrograph_);
  EXPECT_EQ(handler.errors().status(), 0);
  EXPECT_EQ(handler.intervalCount(), 2);
  EXPECT_EQ(handler.sampleTicks(), 1000);
  EXPECT_EQ(handler.maxTicks(), 5000);
  EXPECT_EQ(handler.electronicsWaterAlarm().minSeconds(), 5u);
  EXPECT_EQ(handler.electronicsWaterAlarm().maxSeconds(), 20u);
}

TEST_F(HandlerTest, HousekeepingQueuesElectronicsThenSpectrographWithTheirReadings)
{
  TmxPeriodicHandler handler("TMX", &sync_, &sink_, &electronics_, &spectrograph_);
  setStatus(0xDF); // spectrograph line low
  const auto before = static_cast<TimeBase::TimeT>(std::time(nullptr));
  handler.sendHousekeeping(dummy_);
  const auto after = static_cast<TimeBase::TimeT>(std::time(nullptr));
  auto records = sink_.take();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].id, ELECTRONICS_HOUSING);
  EXPECT_DOUBLE_EQ(records[0].temp, 24.10);
  EXPECT_DOUBLE_EQ(records[0].rh, 35.5);
  EXPECT_FALSE(records[0].wateralarm);
  EXPECT_EQ(records[1].id, SPECTROGRAPH_HOUSING);
  EXPECT_DOUBLE_EQ(records[1].temp, 18.25);
  EXPECT_DOUBLE_EQ(records[1].rh, 41.0);
  EXPECT_TRUE(records[1].wateralarm);
  for (const auto &r : records) {
    EXPECT_GE(r.readingTime, before);
    EXPECT_LE(r.readingTime, after);
  }
}

TEST_F(HandlerTest, UnreadableChannelsAreSentAsMinusOne)
{
  TmxPeriodicHandler handler("TMX", &sync_, &sink_, &electronics_, &spectrograph_);
  dir_.write("loggers.sim", "version V3.5-Beta3\nlogger 1 TMX-S1 fail 41.0\nlogger 2 TMX-E1 24.10 fail\n");
  handler.sendHousekeeping(dummy_);
  auto records = sink_.take();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_DOUBLE_EQ(records[0].temp, 24.10);
  EXPECT_DOUBLE_EQ(records[0].rh, -1.0);
  EXPECT_DOUBLE_EQ(records[1].temp, -1.0);
  EXPECT_DOUBLE_EQ(records[1].rh, 41.0);
}

// Sighted once a second: trips 6 s after the first wet sighting, then every
// 7 s; every trip queues a record with the water flag set.
TEST_F(HandlerTest, PersistentWaterTripsAfterSixSecondsThenEverySeven)
{
  TmxPeriodicHandler handler("TMX", &sync_, &sink_, &electronics_, &spectrograph_);
  setStatus(0xBF); // electronics line low
  std::vector<int> tripSeconds;
  for (int second = 0; second <= 30; ++second) {
    handler.checkWaterAlarms(dummy_);
    for (const auto &r : sink_.take()) {
      EXPECT_EQ(r.id, ELECTRONICS_HOUSING);
      EXPECT_TRUE(r.wateralarm);
      tripSeconds.push_back(second);
    }
    clock_.now += 1000;
  }
  EXPECT_EQ(tripSeconds, (std::vector<int>{ 6, 13, 20, 27 }));

  // Dry again: no further trips.
  setStatus(0xFF);
  for (int second = 0; second < 30; ++second) {
    handler.checkWaterAlarms(dummy_);
    clock_.now += 1000;
  }
  EXPECT_TRUE(sink_.take().empty());
}

TEST_F(HandlerTest, BothWetInOnePassHandlesElectronicsFirst)
{
  TmxPeriodicHandler handler("TMX", &sync_, &sink_, &electronics_, &spectrograph_);
  setStatus(0x9F);
  std::vector<TMX::HousekeepingData> trips;
  for (int second = 0; second <= 6; ++second) {
    handler.checkWaterAlarms(dummy_);
    for (const auto &r : sink_.take())
      trips.push_back(r);
    clock_.now += 1000;
  }
  ASSERT_EQ(trips.size(), 2u);
  EXPECT_EQ(trips[0].id, ELECTRONICS_HOUSING);
  EXPECT_EQ(trips[1].id, SPECTROGRAPH_HOUSING);
}

TEST_F(HandlerTest, WithoutAnElectronicsSensorNothingHappens)
{
  TmxPeriodicHandler handler("TMX", &sync_, &sink_, nullptr, &spectrograph_);
  setStatus(0x9F);
  for (int second = 0; second <= 10; ++second) {
    handler.checkWaterAlarms(dummy_);
    if (second % 5 == 4)
      handler.sendHousekeeping(dummy_);
    clock_.now += 1000;
  }
  EXPECT_TRUE(sink_.take().empty());
}

TEST_F(HandlerTest, NoSynchroniserIsANullArgument)
{
  EXPECT_THROW(TmxPeriodicHandler("TMX", nullptr, &sink_, &electronics_, &spectrograph_), NullArg);
}

} // namespace
