// The real monitor under a console flood (`yes | tmx`): its resident memory
// stays bounded, housekeeping records and alarms keep reaching a consumer
// throughout, and the console lines it had to drop are reported once.
#include "tests/support/Recording.h"
#include "tests/support/TestSupport.h"

#include <Event_Comm.hh>
#include <TMX.hh>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using namespace tmx::test;
using std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

namespace {

// The housekeeping records among the pushes.
std::size_t recordCount(const std::vector<Pushed> &pushes)
{
  return std::count_if(pushes.begin(), pushes.end(), [](const Pushed &p) {
    const TMX::HousekeepingData *hk = nullptr;
    return p.event.value_ >>= hk;
  });
}

// VmRSS of a process in kB, or -1.
long residentKb(pid_t pid)
{
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, 6, "VmRSS:") == 0)
      return std::stol(line.substr(6));
  return -1;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true; // shadow memory and quarantine: RSS says nothing
#else
constexpr bool sanitized = false;
#endif

TEST(ConsoleFlood, MemoryStaysBoundedAndRecordsAndAlarmsKeepArriving)
{
  constexpr auto flood = std::chrono::seconds(10);
  constexpr long rssLimitKb = 64 * 1024;

  RecordingConsumer consumer; // outlives the ORB that serves it
  CorbaEnv env;
  env.startNotifier();
  TestOrb orb(env.orbArgs());
  NotifierSubscription subscription(orb, &consumer, "housekeeping message");

  TempDir dir("tmx-flood");
  // Water in the electronics housing from the start: its alarm trips 6 s
  // in, then every 7 s.
  MonitorFiles files;
  files.electronicsWet = true;
  writeMonitorFiles(dir, files);

  // Standard output goes nowhere, so that nothing but the monitor itself
  // slows the flood down.
  std::unique_ptr<ChildProcess> monitor = startMonitor(dir, env.orbArgs(), true);
  ChildProcess &tmx = *monitor;
  ASSERT_TRUE(consumer.waitUntil([](const std::vector<Pushed> &all) { return recordCount(all) >= 2; },
                                 milliseconds(30000)))
    << tmx.err();

  const auto floodStart = SteadyClock::now();
  std::atomic<bool> flooding{ true };
  std::thread writer([&] {
    const std::string lines = yesLines(32768);
    while (flooding.load())
      tmx.writeStdin(lines, milliseconds(200));
  });
  long peakKb = 0;
  while (SteadyClock::now() - floodStart < flood) {
    peakKb = std::max(peakKb, residentKb(tmx.pid()));
    std::this_thread::sleep_for(milliseconds(200));
  }
  flooding.store(false);
  writer.join();
  const auto floodEnd = SteadyClock::now();

  // The dropped lines are reported once the queue has drained.
  const std::string report = "ERROR: Event queue full (10000 values): ";
  EXPECT_TRUE(eventually([&] { return logText(dir).find(report) != std::string::npos; }, milliseconds(30000)))
    << logText(dir);

  // Every 5 s two records were sampled during the flood; each reached the
  // consumer, with gaps no longer than one period and a margin.
  std::vector<SteadyClock::time_point> records;
  std::size_t alarms = 0;
  for (const Pushed &p : consumer.pushed()) {
    if (p.at < floodStart || p.at > floodEnd)
      continue;
    const TMX::HousekeepingData *hk = nullptr;
    const TMX::Message *msg = nullptr;
    if (p.event.value_ >>= hk)
      records.push_back(p.at);
    else if ((p.event.value_ >>= msg) &&
             std::string(msg->text.in()).find("ERROR: Electronics housing water alarm") == 0)
      ++alarms;
  }
  EXPECT_GE(records.size(), 2u * (flood / std::chrono::seconds(5)) - 2);
  SteadyClock::time_point previous = floodStart;
  for (const auto &at : records) {
    EXPECT_LT(at - previous, std::chrono::milliseconds(7500));
    previous = at;
  }
  EXPECT_LT(floodEnd - previous, std::chrono::milliseconds(7500));
  EXPECT_GE(alarms, 1u);

  std::printf("%llds console flood: peak resident memory %ld kB, %zu records, %zu alarms\n",
              static_cast<long long>(flood.count()),
              peakKb,
              records.size(),
              alarms);
  if (!sanitized) {
    EXPECT_LT(peakKb, rssLimitKb);
  }

  ASSERT_TRUE(tmx.writeStdin("quit\n", milliseconds(10000)));
  const ExitStatus status = tmx.wait(milliseconds(60000));
  EXPECT_TRUE(status.ok()) << status.describe() << "\n" << tmx.err();
}

} // namespace
