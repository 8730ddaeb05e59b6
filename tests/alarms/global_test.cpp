// The reporting helpers and the process-wide manager. Each case runs in a
// process of its own under CTest; run together, only the last one starts
// the process-wide task.
#include "alarms/Alarm.h"
#include "alarms/AlarmManager.h"
#include "tests/alarms/AlarmTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <vector>

using namespace alarmtest;

namespace {

class ProcessWideTest : public ProcessWideManagerTest
{};

TEST_F(ProcessWideTest, ReportMessageAndReportError)
{
  const std::string longError(200, 'e');
  {
    TraceLevel level(1);
    CaptureFd captured(1);
    reportMessage("Reading tmx.cfg file");
    reportError("Error initializing spectrograph housing sensors");
    reportError(longError.c_str());
    reportMessage(nullptr);
    reportError(nullptr);
    EXPECT_EQ(captured.release(),
              "Reading tmx.cfg file\nERROR: Error initializing spectrograph housing sensors\n"
              "ERROR: " +
                longError.substr(0, 120) + "\n");
    EXPECT_EQ(manager.disabledCount(), 3u) << "null texts are ignored";
    manager.scanPass();
  }
  const auto messages = sink.messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].text, "Reading tmx.cfg file@10:11:12");
  EXPECT_EQ(messages[0].priority, 0);
  EXPECT_EQ(messages[1].text, "ERROR: Error initializing spectrograph housing sensors@10:11:12");
  EXPECT_EQ(messages[1].priority, 2);
  const std::string cutError = "ERROR: " + longError.substr(0, 120) + "@10:11:12"; // 127, then the time
  EXPECT_EQ(messages[2].text, cutError.substr(0, 128)) << "published cut to the bound of Message.text";
  EXPECT_EQ(manager.enabledCount() + manager.disabledCount(), 0u);

  const auto logged = lines(readFile(manager.logPath()));
  ASSERT_EQ(logged.size(), 8u);
  EXPECT_EQ(logged[6], "10:11:12\tERROR: Error initializing spectrograph housing sensors@10:11:12");
  EXPECT_EQ(logged[7], "10:11:12\t" + cutError) << "logged whole";
}

TEST_F(ProcessWideTest, ReportingIsSilentAtTraceLevelsZeroAndFive)
{
  for (int level : { 0, 5 }) {
    TraceLevel quiet(level);
    CaptureFd captured(1);
    reportMessage("notice");
    reportError("error");
    manager.scanPass();
    EXPECT_EQ(captured.release(), "") << "level " << level;
  }
  EXPECT_EQ(sink.count(), 4u) << "logged and published all the same";
}

TEST_F(ProcessWideTest, AMillionNoticesLeaveNothingBehindAndPassesStayCheap)
{
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  constexpr std::size_t notices = 100000; // same point, sanitizer speed
#else
  constexpr std::size_t notices = 1000000;
#endif
  // The log would take a line per notice; publication alone shows the point.
  CountingSink counter;
  TraceLevel quiet(0);
  ASSERT_EQ(manager.createLogFile(&counter, dir.file("absent")), 0);

  // Median of many passes; the first one also waits out a pass the task
  // may still be finishing.
  auto passTime = [this] {
    manager.scanPass();
    std::vector<double> micros(2001);
    for (double &us : micros) {
      const auto start = std::chrono::steady_clock::now();
      manager.scanPass();
      us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    }
    std::nth_element(micros.begin(), micros.begin() + 1000, micros.end());
    return micros[1000];
  };
  const double before = passTime();

  ASSERT_EQ(manager.activate("AlarmMgr", 0, 0, 4096), 0);
  for (std::size_t i = 0; i < notices; ++i)
    reportMessage("recurring notice");
  ASSERT_TRUE(counter.waitFor(notices, 300000)) << counter.count() << " of " << notices;

  EXPECT_LE(manager.enabledCount() + manager.disabledCount(), 2u);
  const double after = passTime();
  RecordProperty("notices", std::to_string(notices));
  RecordProperty("pass_us_before", std::to_string(before));
  RecordProperty("pass_us_after", std::to_string(after));
  EXPECT_LT(after, 10 * before + 20.0) << "pass before: " << before << " us, after: " << after << " us";
  manager.setEventSink(nullptr);
  manager.stop();
  EXPECT_EQ(counter.count(), notices) << "each published exactly once";
}

} // namespace
