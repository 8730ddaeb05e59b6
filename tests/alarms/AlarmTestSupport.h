// Test doubles for the alarm tests: a stepped clock and a counting event
// sink, beside the shared recording sink, scratch directory and scoped
// environment variable.
#pragma once

#include "alarms/AlarmManager.h"
#include "alarms/EventSink.h"
#include "framework/Clock.h"
#include "framework/ErrorHandler.h"
#include "tests/support/OrbEnvironment.h"
#include "tests/support/Recording.h"
#include "tests/support/TestUtil.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

namespace alarmtest {

using namespace tmx::test;

// The recording sink copies what it is sent, which needs an ORB.
inline const auto *const orbEnvironment = ::testing::AddGlobalTestEnvironment(new tmx::test::OrbEnvironment);

// Replaces the process and wall clocks while it lives. The wall clock
// defaults to 2001-12-05 10:11:12 local time (day of year 338).
class FakeClock : public ClockSource
{
public:
  FakeClock();
  ~FakeClock() override;
  std::uint32_t ticks() override { return ticks_.load(); }
  std::time_t wallTime() override { return wall_.load(); }

  void setSeconds(std::uint32_t seconds) { ticks_.store(seconds * 1000u); }
  void setTicks(std::uint32_t ticks) { ticks_.store(ticks); }
  void setWall(std::time_t t) { wall_.store(t); }
  std::time_t wall() const { return wall_.load(); }

private:
  std::atomic<std::uint32_t> ticks_{ 0 };
  std::atomic<std::time_t> wall_;
};

// Counts only: for runs whose messages would not fit in memory.
class CountingSink : public EventSink
{
public:
  void send_event(const CORBA::Any &value) override;
  bool waitFor(std::size_t n, int ms);
  std::size_t count();

private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::size_t count_ = 0;
};

std::vector<std::string> lines(const std::string &text);

// Sets the trace level for the scope; only while no manager task runs.
class TraceLevel
{
public:
  explicit TraceLevel(int level)
    : saved_(traceLevel)
  {
    traceLevel = level;
  }
  ~TraceLevel() { traceLevel = saved_; }

private:
  int saved_;
};

// The process-wide manager logging into a scratch directory and sending to
// a recording sink, on a stepped clock; the sink is taken back afterwards.
class ProcessWideManagerTest : public ::testing::Test
{
protected:
  void SetUp() override { ASSERT_EQ(manager.createLogFile(&sink, dir.path()), 1); }
  void TearDown() override { manager.setEventSink(nullptr); }

  TempDir dir;
  FakeClock clock;
  RecordingSink sink;
  AlarmManager &manager = AlarmManager::instance();
};

} // namespace alarmtest
