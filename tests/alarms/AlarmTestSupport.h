// Test doubles for the alarm tests: a stepped clock, a recording event
// sink and a scratch log directory.
#pragma once

#include "alarms/EventSink.h"
#include "framework/Clock.h"
#include "framework/ErrorHandler.h"

#include <TMX.hh>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

namespace alarmtest {

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

  static std::time_t localTime(int year, int month, int day, int hour, int minute, int second);

private:
  std::atomic<std::uint32_t> ticks_{ 0 };
  std::atomic<std::time_t> wall_;
};

struct Published
{
  std::string text;
  int priority;
  std::uint64_t arrivalTime;
};

// Keeps every published Message; other values are counted apart.
class RecordingSink : public EventSink
{
public:
  void send_event(const CORBA::Any &value) override;
  // True once at least n messages arrived, false after ms milliseconds.
  bool waitFor(std::size_t n, int ms);
  std::vector<Published> messages();
  std::size_t count();
  std::size_t others();

private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Published> messages_;
  std::size_t others_ = 0;
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

// A fresh directory under the temp dir, removed with its files.
class TempDir
{
public:
  TempDir();
  ~TempDir();
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &text);
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

// Sets or unsets an environment variable for the scope.
class ScopedEnv
{
public:
  ScopedEnv(const char *name, const char *value);
  ~ScopedEnv();

private:
  std::string name_;
  std::string saved_;
  bool hadValue_;
};

} // namespace alarmtest
