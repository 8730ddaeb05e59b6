// The real monitor (build/bin/tmx) with a private omniNames, tmx-notifier
// and an in-process consumer, in a temporary run directory: what it
// publishes and when, what it logs, how it stops, and how a failed
// start-up ends.
#include "tests/sensors/ModbusTestServer.h"
#include "tests/support/Recording.h"
#include "tests/support/TestSupport.h"

#include <Event_Comm.hh>
#include <TMX.hh>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <chrono>
#include <csignal>
#include <ctime>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

using namespace tmx::test;
using std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

namespace {

double secondsBetween(SteadyClock::time_point a, SteadyClock::time_point b)
{
  return std::chrono::duration<double>(b - a).count();
}

// ------------------------------------------------------------ consumer

struct Received
{
  enum Kind
  {
    housekeeping,
    message,
    console,
    other
  };
  SteadyClock::time_point at;
  std::time_t wall = 0;
  Kind kind = other;
  std::string tag; // tag_ of the pushed event
  TMX::HousekeepingData hk{};
  std::string text;
  MessagePriority priority = MESSAGE;
  std::string consoleLine; // tag_ of a nested event
};

Received decode(const Pushed &p)
{
  Received r;
  r.at = p.at;
  r.wall = p.wall;
  r.tag = p.event.tag_.in();
  const TMX::HousekeepingData *hk = nullptr;
  const TMX::Message *msg = nullptr;
  const Event_Comm::Event *nested = nullptr;
  if (p.event.value_ >>= hk) {
    r.kind = Received::housekeeping;
    r.hk = *hk;
  } else if (p.event.value_ >>= msg) {
    r.kind = Received::message;
    r.text = msg->text.in();
    r.priority = msg->priority;
  } else if (p.event.value_ >>= nested) {
    r.kind = Received::console;
    r.consoleLine = nested->tag_.in();
  }
  return r;
}

std::vector<Received> decode(const std::vector<Pushed> &all)
{
  std::vector<Received> out;
  std::transform(all.begin(), all.end(), std::back_inserter(out), [](const Pushed &p) { return decode(p); });
  return out;
}

// The recording consumer, seen as decoded records.
class Consumer_i : public RecordingConsumer
{
public:
  std::vector<Received> snapshot() const { return decode(pushed()); }

  // Waits until pred(all received so far) holds.
  template<class P>
  bool waitUntil(P pred, milliseconds timeout)
  {
    return RecordingConsumer::waitUntil([&](const std::vector<Pushed> &all) { return pred(decode(all)); },
                                        timeout);
  }
};

std::vector<Received> ofKind(const std::vector<Received> &all, Received::Kind kind)
{
  std::vector<Received> out;
  std::copy_if(
    all.begin(), all.end(), std::back_inserter(out), [kind](const Received &r) { return r.kind == kind; });
  return out;
}

bool startsWith(const std::string &s, const std::string &prefix)
{
  return s.compare(0, prefix.size(), prefix) == 0;
}

std::size_t countMessages(const std::vector<Received> &all,
                          const std::string &prefix,
                          MessagePriority priority)
{
  return std::count_if(all.begin(), all.end(), [&](const Received &r) {
    return r.kind == Received::message && r.priority == priority && startsWith(r.text, prefix);
  });
}

// ------------------------------------------------------------ run directory

const char defaultConfig[] = "# monitor site settings\n"
                             "\n"
                             "TMX-S1   V3.5-Beta3 1 0x378 0x20     # spectrograph\n"
                             "\n"
                             "# electronics below\n"
                             "TMX-E1 V3.5-Beta3,2,0x378,0x40\n";
// What a rewrite makes of it: the head survives, entries are normalised,
// lines between entries are dropped.
const char normalisedConfig[] = "# monitor site settings\n"
                                "\n"
                                "TMX-S1 V3.5-Beta3,1,0x378,0x20\t# spectrograph\n"
                                "TMX-E1 V3.5-Beta3,2,0x378,0x40\n";

const char defaultLoggers[] = "version V3.5-Beta3\n"
                              "logger 1 TMX-S1 18.25 41.0\n"
                              "logger 2 TMX-E1 24.10 35.5\n";

// One monitor in its own run directory.
class Monitor
{
public:
  explicit Monitor(std::vector<std::string> orbArgs,
                   const std::string &config = defaultConfig,
                   const std::string &loggers = defaultLoggers)
    : dir_("tmx-e2e")
    , orbArgs_(std::move(orbArgs))
  {
    MonitorFiles files;
    files.config = config;
    files.loggers = loggers;
    writeMonitorFiles(dir_, files);
  }
  ~Monitor()
  {
    process_.reset();
    ::chmod(dir_.file("tmx.cfg").c_str(), 0644); // so the directory can go
  }

  void start()
  {
    startedAt_ = SteadyClock::now();
    process_ = startMonitor(dir_, orbArgs_);
  }

  ChildProcess &process() { return *process_; }
  SteadyClock::time_point startedAt() const { return startedAt_; }
  const TempDir &dir() const { return dir_; }

  // The one log file of this start (empty name when none yet).
  std::string logName() const
  {
    const std::vector<std::string> names = logFileNames(dir_);
    return names.empty() ? std::string() : names.back();
  }
  std::string logText() const { return tmx::test::logText(dir_); }
  bool waitForLog(const std::string &what, milliseconds timeout = milliseconds(10000))
  {
    return eventually([&] { return logText().find(what) != std::string::npos; }, timeout);
  }

  // Status register of LPT1 (0x379): 0xFF dry, a cleared mask bit wet.
  void setStatus(unsigned char byte)
  {
    std::fstream port(dir_.file("port.dev"), std::ios::in | std::ios::out | std::ios::binary);
    port.seekp(0x379);
    port.put(static_cast<char>(byte));
  }

  std::string config() const { return readFile(dir_.file("tmx.cfg")); }
  mode_t configMode() const
  {
    struct stat st
    {};
    ::stat(dir_.file("tmx.cfg").c_str(), &st);
    return st.st_mode & 07777;
  }

private:
  TempDir dir_;
  std::vector<std::string> orbArgs_;
  SteadyClock::time_point startedAt_;
  std::unique_ptr<ChildProcess> process_;
};

// ------------------------------------------------------------ fixture

class EndToEnd : public ::testing::Test
{
protected:
  // Naming service, notifier and a consumer subscribed to every event.
  void startCorba(bool withNotifier = true)
  {
    env_ = std::make_unique<CorbaEnv>();
    if (!withNotifier)
      return;
    env_->startNotifier();
    orb_ = std::make_unique<TestOrb>(env_->orbArgs());
    subscription_ = std::make_unique<NotifierSubscription>(*orb_, &consumer_);
  }

  // startCorba(), then a monitor with that configuration started; it lives
  // until the end of the test.
  Monitor &startMonitorWithCorba(const std::string &config = defaultConfig)
  {
    startCorba();
    monitor_ = std::make_unique<Monitor>(env_->orbArgs(), config);
    monitor_->start();
    return *monitor_;
  }

  // True once at least n housekeeping records have arrived (20 s at most).
  bool waitRecords(std::size_t n)
  {
    return consumer_.waitUntil(
      [n](const auto &all) { return ofKind(all, Received::housekeeping).size() >= n; }, milliseconds(20000));
  }

  void TearDown() override
  {
    monitor_.reset();
    subscription_.reset();
    orb_.reset();
  }

  bool isBound(const std::string &name) { return env_->naming().isBound(name); }

  // tmx-status's running time in seconds, or -1.
  long statusSeconds()
  {
    RunResult result = run(programArgs("tmx-status", env_->orbArgs()), milliseconds(10000));
    std::smatch m;
    if (!result.status.ok() || !std::regex_search(result.out, m, std::regex("elapsedTime: ([0-9]+) s")))
      return -1;
    return std::stol(m[1]);
  }

  Consumer_i consumer_; // outlives the ORB that serves it
  std::unique_ptr<CorbaEnv> env_;
  std::unique_ptr<TestOrb> orb_;
  std::unique_ptr<NotifierSubscription> subscription_;
  std::unique_ptr<Monitor> monitor_;
};

void expectReadingNearNow(const Received &r)
{
  const auto reading = static_cast<long long>(r.hk.readingTime);
  EXPECT_LE(std::llabs(reading - static_cast<long long>(r.wall)), 1) << "readingTime " << reading;
}

void expectSimulatedValues(const Received &r)
{
  if (r.hk.id == ELECTRONICS_HOUSING) {
    EXPECT_DOUBLE_EQ(r.hk.temp, 24.10);
    EXPECT_DOUBLE_EQ(r.hk.rh, 35.5);
  } else {
    EXPECT_DOUBLE_EQ(r.hk.temp, 18.25);
    EXPECT_DOUBLE_EQ(r.hk.rh, 41.0);
  }
}

// ------------------------------------------------------------ scenarios

// One long run: records and their timing, notices and the log, tmx-status,
// a console line, a water alarm that trips and stops, then "quit".
TEST_F(EndToEnd, PublishesLogsAlarmsAndQuitsInOrder)
{
  Monitor &monitor = startMonitorWithCorba();
  ChildProcess &tmx = monitor.process();

  // First records on the fifth pass, about 4 s after the start; then every
  // 5 s, electronics first.
  ASSERT_TRUE(waitRecords(4)) << tmx.out() << tmx.err();
  auto records = ofKind(consumer_.snapshot(), Received::housekeeping);
  const double first = secondsBetween(monitor.startedAt(), records[0].at);
  EXPECT_GE(first, 3.8);
  EXPECT_LE(first, 7.0);
  EXPECT_EQ(records[0].hk.id, ELECTRONICS_HOUSING);
  EXPECT_EQ(records[1].hk.id, SPECTROGRAPH_HOUSING);
  EXPECT_EQ(records[2].hk.id, ELECTRONICS_HOUSING);
  EXPECT_EQ(records[3].hk.id, SPECTROGRAPH_HOUSING);
  EXPECT_NEAR(secondsBetween(records[0].at, records[2].at), 5.0, 0.5);
  EXPECT_LT(secondsBetween(records[0].at, records[1].at), 0.5);
  for (const auto &r : records) {
    EXPECT_EQ(r.tag, "TMX");
    EXPECT_FALSE(r.hk.wateralarm);
    expectSimulatedValues(r);
    expectReadingNearNow(r);
  }

  // Notices are published as MESSAGE-priority messages and logged.
  auto all = consumer_.snapshot();
  EXPECT_EQ(countMessages(all, "Reading tmx.cfg file@", MESSAGE), 1u);
  const std::string logName = monitor.logName();
  char today[16];
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::snprintf(today, sizeof today, "%03d_000.log", local.tm_yday);
  EXPECT_EQ(logName, today);
  const std::string log = monitor.logText();
  EXPECT_TRUE(
    std::regex_search(log,
                      std::regex("^LOGFILE:.*/logfiles/" + logName +
                                 "\nAPPTITLE:TMX  VER:1\\.0\n"
                                 "INSTRUMENT LOCATION:EMBEDDED v1 built [A-Z][a-z]{2} [ 0-9][0-9] "
                                 "[0-9]{4} at [0-9]{2}:[0-9]{2}:[0-9]{2} ID:TMX\n"
                                 "PSTDATE:[0-9]{2}/[0-9]{2}/[0-9]{4}\nTIME:[0-9]{2}:[0-9]{2}:[0-9]{2}\n")))
    << log;
  EXPECT_TRUE(std::regex_search(log,
                                std::regex("\n[0-9]{2}:[0-9]{2}:[0-9]{2}\tReading tmx\\.cfg "
                                           "file@[0-9]{2}:[0-9]{2}:[0-9]{2}\n")))
    << log;

  // A typed line arrives as a nested event carrying the line.
  ASSERT_TRUE(tmx.writeStdin("hello from the console\n"));
  ASSERT_TRUE(consumer_.waitUntil(
    [](const auto &all) {
      return std::any_of(all.begin(), all.end(), [](const Received &r) {
        return r.kind == Received::console && r.consoleLine == "hello from the console";
      });
    },
    milliseconds(5000)));

  // Water in the electronics housing: trips 6 s after the first wet
  // sighting (which is at most 1 s after the line goes low), then 7 s
  // later.
  const auto wetAt = SteadyClock::now();
  monitor.setStatus(0xBF);
  const std::string alarmText = "ERROR: Electronics housing water alarm@";
  ASSERT_TRUE(consumer_.waitUntil([&](const auto &all) { return countMessages(all, alarmText, ALARM) >= 2; },
                                  milliseconds(20000)));
  // Dry right after the second trip: no third one.
  monitor.setStatus(0xFF);
  const auto dryAt = SteadyClock::now();
  all = consumer_.snapshot();
  std::vector<Received> trips;
  for (const auto &r : all)
    if (r.kind == Received::message && startsWith(r.text, alarmText))
      trips.push_back(r);
  ASSERT_EQ(trips.size(), 2u);
  const double firstTrip = secondsBetween(wetAt, trips[0].at);
  EXPECT_GE(firstTrip, 5.8);
  EXPECT_LE(firstTrip, 7.6);
  EXPECT_NEAR(secondsBetween(trips[0].at, trips[1].at), 7.0, 0.5);
  // Each trip publishes a fresh electronics record with the water flag
  // just before its alarm message.
  for (const auto &trip : trips) {
    auto it = std::find_if(all.begin(), all.end(), [&](const Received &r) {
      return r.kind == Received::housekeeping && r.hk.id == ELECTRONICS_HOUSING && r.hk.wateralarm &&
             secondsBetween(r.at, trip.at) >= 0 && secondsBetween(r.at, trip.at) < 0.5;
    });
    EXPECT_NE(it, all.end());
  }

  // While it stays dry: the running time grows by one a second.
  const long s1 = statusSeconds();
  const auto t1 = SteadyClock::now();
  std::this_thread::sleep_for(milliseconds(2000)); // the quantity under test is elapsed time
  const long s2 = statusSeconds();
  const double dt = secondsBetween(t1, SteadyClock::now());
  ASSERT_GE(s1, 0);
  EXPECT_GE(s1, static_cast<long>(secondsBetween(monitor.startedAt(), t1)) - 2);
  EXPECT_NEAR(static_cast<double>(s2 - s1), dt, 1.1);

  // No third trip well after the time it would have come.
  const auto noTripUntil = trips[1].at + milliseconds(8500);
  if (SteadyClock::now() < noTripUntil)
    std::this_thread::sleep_for(noTripUntil - SteadyClock::now()); // waiting for an absence
  EXPECT_EQ(countMessages(consumer_.snapshot(), alarmText, ALARM), 2u);
  EXPECT_GE(secondsBetween(dryAt, SteadyClock::now()), 1.0);
  const std::string wetLog = monitor.logText();
  EXPECT_EQ(countOccurrences(wetLog, "\tERROR: Electronics housing water alarm@"), 2u) << wetLog;
  EXPECT_EQ(countOccurrences(wetLog, "\tElectronics housing water alarm 00:06 since last trip @"), 1u)
    << wetLog;
  EXPECT_EQ(countOccurrences(wetLog, "Spectrograph housing water alarm"), 0u) << wetLog;

  // "quit": orderly shutdown.
  ASSERT_TRUE(tmx.writeStdin("quit\n"));
  ASSERT_TRUE(tmx.waitForOut("Application shutdown started...", milliseconds(5000))) << tmx.out();
  const auto shutdownStarted = SteadyClock::now();
  ASSERT_TRUE(tmx.waitForErr("closing down Notifier_Handler", milliseconds(30000))) << tmx.err();
  EXPECT_GE(secondsBetween(shutdownStarted, SteadyClock::now()), 4.45);
  ExitStatus status = tmx.wait(milliseconds(15000));
  EXPECT_TRUE(status.ok()) << status.describe() << "\n" << tmx.err();

  EXPECT_FALSE(isBound("TMXSYSTEM"));
  EXPECT_EQ(monitor.config(), normalisedConfig);
  EXPECT_EQ(monitor.configMode(), 0444u);
  const std::string finalLog = monitor.logText();
  EXPECT_NE(finalLog.find("\tApplication shutdown started...@"), std::string::npos) << finalLog;
  // Once from the console request, once more from the program entry.
  EXPECT_EQ(countOccurrences(finalLog, "\tApplication shutdown requested@"), 2u) << finalLog;
  // The configuration is written before any task stops.
  EXPECT_LT(tmx.out().find("Writing config file items to"),
            tmx.out().find("Application shutdown started..."));
}

// Limits from tmx.cfg: scripts/tmx-sim takes the electronics housing past
// its highest temperature and back; the alarm comes with the next sample,
// and the alarm and the notice are each published and logged once. A
// malformed spectrograph entry is reported and the monitor runs on; the
// rewrite keeps both entries.
TEST_F(EndToEnd, HousingLimitAlarmsOnceAndNoticesOnceWhenBack)
{
  const std::string limits = "TMX-E1-LIMITS 5,35,60,3,0.5\t# electronics\nTMX-S1-LIMITS 30,20\n";
  Monitor &monitor = startMonitorWithCorba(defaultConfig + limits);
  ChildProcess &tmx = monitor.process();
  const std::string malformed =
    "ERROR: Malformed limits entry ignored (lowest temperature above highest): TMX-S1-LIMITS 30,20@";
  ASSERT_TRUE(consumer_.waitUntil(
    [&](const auto &all) {
      return countMessages(all, malformed, ALARM) == 1 && ofKind(all, Received::housekeeping).size() >= 2;
    },
    milliseconds(20000)))
    << tmx.out() << tmx.err();

  auto simSet = [&](const std::string &value) {
    RunResult r = run({ std::string(TMX_SOURCE_DIR) + "/scripts/tmx-sim",
                        "--run-dir",
                        monitor.dir().path(),
                        "set",
                        "TMX-E1",
                        "temp",
                        value },
                      milliseconds(10000));
    EXPECT_TRUE(r.status.ok()) << r.status.describe() << r.err;
  };
  const std::string alarm = "Electronics housing temperature high: 40.00 degC (limit 35.00)@";
  const std::string notice = "Electronics housing temperature back within limits: 24.10 degC@";
  const auto hotAt = SteadyClock::now();
  simSet("40");
  ASSERT_TRUE(consumer_.waitUntil([&](const auto &all) { return countMessages(all, alarm, ALARM) == 1; },
                                  milliseconds(10000)));
  auto all = consumer_.snapshot();
  auto raised = std::find_if(all.begin(), all.end(), [&](const Received &r) {
    return r.kind == Received::message && startsWith(r.text, alarm);
  });
  EXPECT_LE(secondsBetween(hotAt, raised->at), 5.5) << "within one housekeeping period";
  // The record that shows the value comes first, as it always looks.
  auto record = std::find_if(std::make_reverse_iterator(raised), all.rend(), [](const Received &r) {
    return r.kind == Received::housekeeping && r.hk.id == ELECTRONICS_HOUSING;
  });
  ASSERT_NE(record, all.rend());
  EXPECT_DOUBLE_EQ(record->hk.temp, 40.0);
  EXPECT_FALSE(record->hk.wateralarm);

  simSet("24.10");
  ASSERT_TRUE(consumer_.waitUntil([&](const auto &all) { return countMessages(all, notice, MESSAGE) == 1; },
                                  milliseconds(10000)));
  // One more electronics sample after the notice, which must add nothing.
  ASSERT_TRUE(consumer_.waitUntil(
    [&](const auto &all) {
      auto back = std::find_if(all.begin(), all.end(), [&](const Received &r) {
        return r.kind == Received::message && startsWith(r.text, notice);
      });
      return std::any_of(back, all.end(), [](const Received &r) {
        return r.kind == Received::housekeeping && r.hk.id == ELECTRONICS_HOUSING;
      });
    },
    milliseconds(10000)));

  ASSERT_TRUE(tmx.writeStdin("quit\n"));
  ExitStatus status = tmx.wait(milliseconds(30000));
  EXPECT_TRUE(status.ok()) << status.describe() << "\n" << tmx.err();
  all = consumer_.snapshot();
  EXPECT_EQ(countMessages(all, alarm, ALARM), 1u);
  EXPECT_EQ(countMessages(all, notice, MESSAGE), 1u);
  EXPECT_EQ(
    countMessages(all, "Electronics housing", ALARM) + countMessages(all, "Electronics housing", MESSAGE) +
      countMessages(all, "Spectrograph housing", ALARM) + countMessages(all, "Spectrograph housing", MESSAGE),
    2u);
  const std::string log = monitor.logText();
  EXPECT_EQ(countOccurrences(log, "\t" + alarm), 1u) << log;
  EXPECT_EQ(countOccurrences(log, "\t" + notice), 1u) << log;
  EXPECT_EQ(countOccurrences(log, "\t" + malformed), 1u) << log;
  EXPECT_EQ(monitor.config(), normalisedConfig + limits);
}

// SIGTERM, the service manager's stop: the same orderly shutdown. A second
// monitor started meanwhile fails at "TMXSYSTEM" and leaves the first one's
// binding alone.
TEST_F(EndToEnd, SigtermShutsDownInOrderAndASecondMonitorIsRefused)
{
  Monitor &monitor = startMonitorWithCorba();
  ChildProcess &tmx = monitor.process();
  ASSERT_TRUE(consumer_.waitUntil(
    [](const auto &all) { return countMessages(all, "Reading tmx.cfg file@", MESSAGE) > 0; },
    milliseconds(15000)))
    << tmx.out() << tmx.err();
  ASSERT_TRUE(isBound("TMXSYSTEM"));

  Monitor second(env_->orbArgs());
  second.start();
  ExitStatus secondStatus = second.process().wait(milliseconds(15000));
  EXPECT_TRUE(secondStatus.exited && secondStatus.code == 1) << secondStatus.describe();
  EXPECT_NE(second.process().err().find("TMX interface did not init"), std::string::npos)
    << second.process().err();
  EXPECT_TRUE(second.waitForLog("\tERROR: Event supplier init failed@", milliseconds(2000)))
    << second.logText();
  EXPECT_TRUE(isBound("TMXSYSTEM"));

  ASSERT_TRUE(tmx.signal(SIGTERM));
  ExitStatus status = tmx.wait(milliseconds(30000));
  EXPECT_TRUE(status.ok()) << status.describe() << "\n" << tmx.err();
  EXPECT_FALSE(isBound("TMXSYSTEM"));
  EXPECT_EQ(monitor.config(), normalisedConfig);
  EXPECT_EQ(monitor.configMode(), 0444u);
  const std::string log = monitor.logText();
  EXPECT_NE(log.find("\tApplication shutdown requested@"), std::string::npos) << log;
  EXPECT_NE(log.find("\tApplication shutdown started...@"), std::string::npos) << log;
}

// SIGTERM during the start-up, before the tasks run, is not lost.
TEST_F(EndToEnd, SigtermDuringStartUpStillStopsInOrder)
{
  Monitor &monitor = startMonitorWithCorba();
  ChildProcess &tmx = monitor.process();
  ASSERT_TRUE(tmx.waitForErr("Supplier initialized", milliseconds(15000))) << tmx.err();
  ASSERT_TRUE(tmx.signal(SIGTERM));
  ExitStatus status = tmx.wait(milliseconds(30000));
  EXPECT_TRUE(status.ok()) << status.describe() << "\n" << tmx.err() << tmx.out();
  EXPECT_FALSE(isBound("TMXSYSTEM"));
  EXPECT_EQ(monitor.configMode(), 0444u);
  EXPECT_NE(monitor.logText().find("\tApplication shutdown started...@"), std::string::npos)
    << monitor.logText();
}

// "quit" typed while the monitor is still starting is read once the console
// starts and shuts the monitor down in order.
TEST_F(EndToEnd, QuitTypedDuringStartUpStillStopsInOrder)
{
  Monitor &monitor = startMonitorWithCorba();
  ChildProcess &tmx = monitor.process();
  ASSERT_TRUE(tmx.writeStdin("quit\n"));
  ExitStatus status = tmx.wait(milliseconds(30000));
  EXPECT_TRUE(status.ok()) << status.describe() << "\n" << tmx.err() << tmx.out();
  EXPECT_FALSE(isBound("TMXSYSTEM"));
  EXPECT_EQ(monitor.config(), normalisedConfig);
  const std::string log = monitor.logText();
  EXPECT_NE(log.find("\tApplication shutdown started...@"), std::string::npos) << log;
}

// SIGINT ends only the CORBA side: "TMXSYSTEM" goes, nothing more is
// published, while sampling, logging and the console go on until "quit".
TEST_F(EndToEnd, SigintStopsPublishingButNotSampling)
{
  Monitor &monitor = startMonitorWithCorba();
  ChildProcess &tmx = monitor.process();
  ASSERT_TRUE(waitRecords(2)) << tmx.out() << tmx.err();

  ASSERT_TRUE(tmx.signal(SIGINT));
  ASSERT_TRUE(env_->naming().waitBound("TMXSYSTEM", false, milliseconds(5000)));
  const auto unboundAt = SteadyClock::now();
  const std::size_t samplesBefore = countOccurrences(tmx.out(), "Sampling temp for Electronics Housing");

  monitor.setStatus(0xBF);
  ASSERT_TRUE(monitor.waitForLog("\tERROR: Electronics housing water alarm@", milliseconds(15000)))
    << monitor.logText();
  EXPECT_GT(countOccurrences(tmx.out(), "Sampling temp for Electronics Housing"), samplesBefore);
  for (const auto &r : consumer_.snapshot())
    EXPECT_LT(secondsBetween(unboundAt, r.at), 0.5) << "published after SIGINT: " << r.tag << " " << r.text;
  EXPECT_TRUE(tmx.running());

  // The console is still read: "quit" ends the monitor in order.
  ASSERT_TRUE(tmx.writeStdin("quit\n"));
  ExitStatus status = tmx.wait(milliseconds(30000));
  EXPECT_TRUE(status.ok()) << status.describe() << "\n" << tmx.err();
  EXPECT_EQ(monitor.configMode(), 0444u);
}

// A logger whose description does not match its sensor id.
TEST_F(EndToEnd, WrongLoggerDescriptionFailsTheStartUp)
{
  startCorba(false);
  Monitor monitor(env_->orbArgs(),
                  defaultConfig,
                  "version V3.5-Beta3\nlogger 1 TMX-E1 18.25 41.0\nlogger 2 TMX-E1 24.10 35.5\n");
  monitor.start();
  ExitStatus status = monitor.process().wait(milliseconds(15000));
  EXPECT_TRUE(status.exited && status.code == 1) << status.describe();
  EXPECT_NE(monitor.process().out().find("MicroApp::run() - initialize() failed"), std::string::npos);
  const std::string log = monitor.logText();
  EXPECT_NE(log.find("\tERROR: Invalid description detected@"), std::string::npos) << log;
  EXPECT_NE(log.find("\tERROR: Error initializing spectrograph housing sensors@"), std::string::npos) << log;
  EXPECT_EQ(log.find("electronics housing sensors"), std::string::npos) << log;
  EXPECT_FALSE(isBound("TMXSYSTEM"));
}

// No naming service at the given address.
TEST_F(EndToEnd, NoNamingServiceFailsTheStartUp)
{
  const int port = freeLoopbackPort();
  Monitor monitor({ "-ORBInitRef",
                    "NameService=corbaloc::127.0.0.1:" + std::to_string(port) + "/NameService",
                    "-ORBendPoint",
                    "giop:tcp:127.0.0.1:" });
  monitor.start();
  ExitStatus status = monitor.process().wait(milliseconds(20000));
  EXPECT_TRUE(status.exited && status.code == 1) << status.describe();
  EXPECT_NE(monitor.process().err().find("Naming services did not init"), std::string::npos)
    << monitor.process().err();
  EXPECT_NE(monitor.logText().find("\tERROR: Event supplier init failed@"), std::string::npos)
    << monitor.logText();
}

// ORB options that shorten every remote call's time-out, so that a test
// with a stalled naming service runs fast.
std::vector<std::string> withCallTimeout(std::vector<std::string> orbArgs, int ms)
{
  orbArgs.insert(orbArgs.end(), { "-ORBclientCallTimeOutPeriod", std::to_string(ms) });
  return orbArgs;
}

// A naming service that takes requests and never answers (omniNames
// stopped with SIGSTOP): the start-up fails with its usual message once
// the call time-out has passed.
TEST_F(EndToEnd, StalledNamingServiceFailsTheStartUpInBoundedTime)
{
  startCorba(false);
  env_->naming().suspend();
  Monitor monitor(withCallTimeout(env_->orbArgs(), 1000));
  monitor.start();
  ExitStatus status = monitor.process().wait(milliseconds(20000));
  env_->naming().resume();
  EXPECT_TRUE(status.exited && status.code == 1) << status.describe();
  EXPECT_LT(secondsBetween(monitor.startedAt(), SteadyClock::now()), 10.0);
  EXPECT_NE(monitor.process().err().find("Naming services did not init"), std::string::npos)
    << monitor.process().err();
  EXPECT_NE(monitor.process().out().find("TIMEOUT"), std::string::npos) << monitor.process().out();
  EXPECT_NE(monitor.logText().find("\tERROR: Event supplier init failed@"), std::string::npos)
    << monitor.logText();
}

// The naming service stalls while the monitor runs: "quit" and SIGTERM
// still end it in order within 30 s, with tmx.cfg written and the log
// complete. Returns the seconds from the request to the exit.
double stopWithStalledNaming(CorbaEnv &env, const std::vector<std::string> &orbArgs, bool quit)
{
  Monitor monitor(orbArgs);
  monitor.start();
  ChildProcess &tmx = monitor.process();
  EXPECT_TRUE(monitor.waitForLog("\tReading tmx.cfg file@", milliseconds(15000))) << tmx.out() << tmx.err();
  EXPECT_TRUE(env.naming().waitBound("TMXSYSTEM", true));

  env.naming().suspend();
  const auto requested = SteadyClock::now();
  if (quit)
    EXPECT_TRUE(tmx.writeStdin("quit\n"));
  else
    EXPECT_TRUE(tmx.signal(SIGTERM));
  ExitStatus status = tmx.wait(milliseconds(30000));
  const double took = secondsBetween(requested, SteadyClock::now());
  env.naming().resume();

  EXPECT_TRUE(status.ok()) << status.describe() << "\n" << tmx.err();
  EXPECT_LT(took, 30.0);
  EXPECT_EQ(monitor.config(), normalisedConfig);
  EXPECT_EQ(monitor.configMode(), 0444u);
  const std::string log = monitor.logText();
  EXPECT_NE(log.find("\tApplication shutdown started...@"), std::string::npos) << log;
  // The program entry's notice is the last line written before the exit,
  // followed at most by the note that publishing has stopped (the notice
  // itself is no longer queued once the CORBA side is down).
  const std::string last = "\tApplication shutdown requested@";
  const auto at = log.rfind(last);
  EXPECT_NE(at, std::string::npos) << log;
  if (at != std::string::npos) {
    const auto end = log.find('\n', at);
    EXPECT_NE(end, std::string::npos) << log;
    const std::string rest = log.substr(end + 1);
    EXPECT_TRUE(rest.empty() ||
                (rest.find("\tPublishing stopped: values are no longer queued@") != std::string::npos &&
                 rest.find('\n') == rest.size() - 1))
      << log;
  }
  return took;
}

// With the default time-out (no ORB option): the stalled unbind is given up
// after 10 s, so the whole shutdown (4.5 s of it fixed) takes at least 14 s.
TEST_F(EndToEnd, QuitWithAStalledNamingServiceEndsAfterTheDefaultTimeOut)
{
  startCorba();
  const double took = stopWithStalledNaming(*env_, env_->orbArgs(), true);
  std::printf("quit to exit with omniNames stopped: %.1f s\n", took);
  RecordProperty("quit_to_exit_stalled_naming_s", std::to_string(took));
  EXPECT_GE(took, 14.0);
}

TEST_F(EndToEnd, SigtermWithAStalledNamingServiceEndsInOrder)
{
  startCorba();
  stopWithStalledNaming(*env_, withCallTimeout(env_->orbArgs(), 1000), false);
}

// A naming service without a notifier: nothing is left bound.
TEST_F(EndToEnd, NoNotifierFailsTheStartUp)
{
  startCorba(false);
  Monitor monitor(env_->orbArgs());
  monitor.start();
  ExitStatus status = monitor.process().wait(milliseconds(20000));
  EXPECT_TRUE(status.exited && status.code == 1) << status.describe();
  EXPECT_NE(monitor.process().err().find("Notifier_Handler did not init"), std::string::npos)
    << monitor.process().err();
  EXPECT_NE(monitor.logText().find("\tERROR: Event supplier init failed@"), std::string::npos)
    << monitor.logText();
  EXPECT_FALSE(isBound("TMXSYSTEM"));
  EXPECT_FALSE(isBound("Notifier"));
}

// The electronics logger on a Modbus TCP transmitter: its values are
// published; when it stops answering the records carry -1.0 and one alarm
// says why; when it answers again one notice says so and the values return.
TEST_F(EndToEnd, PublishesAModbusTransmitterAndItsOutageOnce)
{
  auto server = ModbusTestServer::tcp(1);
  server->setHolding(0, 2215);
  server->setHolding(1, 4321);
  startCorba();
  monitor_ = std::make_unique<Monitor>(env_->orbArgs(),
                                       defaultConfig,
                                       "version V3.5-Beta3\nlogger 1 TMX-S1 18.25 41.0\n"
                                       "logger 2 TMX-E1 modbus-tcp host=127.0.0.1 port=" +
                                         std::to_string(server->port()) +
                                         " timeout=200 period=200 stale=2"
                                         " temp=holding:0:int16:0.01 rh=holding:1:uint16:0.01\n");
  monitor_->start();
  auto electronics = [&](double temp) {
    return [temp](const std::vector<Received> &all) {
      for (const Received &r : ofKind(all, Received::housekeeping))
        if (r.hk.id == ELECTRONICS_HOUSING && std::fabs(r.hk.temp - temp) < 1e-6)
          return true;
      return false;
    };
  };
  ASSERT_TRUE(consumer_.waitUntil(electronics(22.15), milliseconds(20000)))
    << monitor_->process().out() << monitor_->process().err();
  auto first = ofKind(consumer_.snapshot(), Received::housekeeping);
  EXPECT_NEAR(
    43.21,
    std::find_if(first.begin(), first.end(), [](const Received &r) { return r.hk.id == ELECTRONICS_HOUSING; })
      ->hk.rh,
    1e-6);

  server->setAnswering(false);
  ASSERT_TRUE(consumer_.waitUntil(electronics(-1.0), milliseconds(20000)));
  const std::string alarm =
    "ERROR: no reading from 127.0.0.1:" + std::to_string(server->port()) + " unit 1 for ";
  server->setAnswering(true);
  const auto back = SteadyClock::now();
  server->setHolding(0, 2216);
  ASSERT_TRUE(consumer_.waitUntil(electronics(22.16), milliseconds(20000)));
  const double took = secondsBetween(back, SteadyClock::now());
  std::printf("device back to its first good record: %.1f s\n", took);
  RecordProperty("device_back_to_record_s", std::to_string(took));
  ASSERT_TRUE(consumer_.waitUntil(
    [](const auto &all) { return countMessages(all, "Logger TMX-E1 reads again@", MESSAGE) == 1; },
    milliseconds(5000)));
  EXPECT_EQ(1u, countMessages(consumer_.snapshot(), alarm, ALARM));
}

} // namespace
