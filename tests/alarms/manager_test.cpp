// The alarm manager: scan passes, the log file and the published messages.
#include "alarms/Alarm.h"
#include "alarms/AlarmManager.h"
#include "framework/MicroApp.h"
#include "tests/alarms/AlarmTestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <thread>

using namespace alarmtest;

namespace {

constexpr int waitMs = 20000; // generous: sanitizer builds on a busy machine

std::string headerFor(const std::string &path)
{
  return "LOGFILE:" + path + "\nAPPTITLE:TMX  VER:1.0\nINSTRUMENT LOCATION:" + appBuild() +
         " ID:TMX\nPSTDATE:05/12/2001\nTIME:10:11:12\n";
}

// toSeconds of 2001-12-05 10:11:12 read as UTC.
constexpr std::uint64_t creationSeconds = 1007547072u;

class ManagerTest : public ::testing::Test
{
protected:
  std::string log() { return readFile(manager.logPath()); }

  TempDir dir;
  FakeClock clock;
  RecordingSink sink;
  AlarmManager manager;
};

TEST_F(ManagerTest, HeaderAndLinesByteForByte)
{
  ASSERT_EQ(manager.createLogFile(&sink, dir.path()), 1);
  EXPECT_EQ(manager.logName(), "338_000.log");
  EXPECT_EQ(manager.logPath(), dir.file("338_000.log"));
  EXPECT_EQ(log(), headerFor(dir.file("338_000.log")));

  raiseAlarm("Reading tmx.cfg file", 0, &manager);
  raiseAlarm("ERROR: Event supplier init failed", 2, &manager);
  clock.setWall(localTime(2001, 12, 5, 23, 4, 5));
  manager.scanPass();
  EXPECT_EQ(log(),
            headerFor(dir.file("338_000.log")) + "23:04:05\tReading tmx.cfg file@10:11:12\n"
                                                 "23:04:05\tERROR: Event supplier init failed@10:11:12\n");
}

TEST_F(ManagerTest, HeaderFieldsWithTheRealClock)
{
  setClockSource(nullptr);
  ASSERT_EQ(manager.createLogFile(nullptr, dir.path()), 1);
  manager.writeLogLine("line");
  const std::string path = manager.logPath();
  const std::regex expected("LOGFILE:" + path +
                            "\nAPPTITLE:TMX  VER:1\\.0\n"
                            "INSTRUMENT LOCATION:EMBEDDED v1 built [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} at "
                            "[0-9]{2}:[0-9]{2}:[0-9]{2} ID:TMX\n"
                            "PSTDATE:[0-3][0-9]/[01][0-9]/20[0-9]{2}\nTIME:[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\n"
                            "[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\tline\n");
  EXPECT_TRUE(std::regex_match(log(), expected)) << log();
  const DateTime now(DateTime::LocalNow);
  char name[16];
  std::snprintf(name, sizeof name, "%03d_000.log", now.dayOfYear());
  EXPECT_EQ(manager.logName(), name);
}

TEST_F(ManagerTest, TakenSequenceNumbersAreSkipped)
{
  dir.write("338_000.log", "first run\n");
  dir.write("338_001.log", "second run\n");
  dir.write("337_002.log", "yesterday\n");
  ASSERT_EQ(manager.createLogFile(&sink, dir.path()), 1);
  EXPECT_EQ(manager.logName(), "338_002.log");
  EXPECT_EQ(readFile(dir.file("338_002.log")), headerFor(dir.file("338_002.log")));
  EXPECT_EQ(readFile(dir.file("338_000.log")), "first run\n");
  EXPECT_EQ(readFile(dir.file("338_001.log")), "second run\n");
}

TEST_F(ManagerTest, AllSequenceNumbersTakenAppendsToTheLastWithoutHeader)
{
  for (int n = 0; n <= 100; ++n) {
    char name[16];
    std::snprintf(name, sizeof name, "338_%03d.log", n);
    dir.write(name, n == 100 ? "earlier\n" : "");
  }
  ASSERT_EQ(manager.createLogFile(&sink, dir.path()), 1);
  EXPECT_EQ(manager.logName(), "338_100.log");
  raiseAlarm("again", 0, &manager);
  manager.scanPass();
  EXPECT_EQ(readFile(dir.file("338_100.log")), "earlier\n10:11:12\tagain@10:11:12\n");
  EXPECT_FALSE(std::ifstream(dir.file("338_101.log")).good());
}

TEST_F(ManagerTest, AnExistingButUnreadableFileIsNeverTruncated)
{
  dir.write("338_000.log", "keep me\n");
  chmod(dir.file("338_000.log").c_str(), 0200);
  ASSERT_EQ(manager.createLogFile(&sink, dir.path()), 1);
  EXPECT_EQ(manager.logName(), "338_001.log");
  chmod(dir.file("338_000.log").c_str(), 0600);
  EXPECT_EQ(readFile(dir.file("338_000.log")), "keep me\n");
}

TEST_F(ManagerTest, OpenLogFileAppendsToAnExistingFile)
{
  dir.write("x.log", "old\n");
  EXPECT_EQ(manager.openLogFile(dir.file("x.log")), 1);
  manager.writeLogLine("new");
  EXPECT_EQ(readFile(dir.file("x.log")), "old\n10:11:12\tnew\n");
  EXPECT_EQ(manager.openLogFile(dir.file("y.log")), 1) << "the previous file is closed first";
  EXPECT_EQ(readFile(dir.file("y.log")), headerFor(dir.file("y.log")));
}

TEST_F(ManagerTest, MissingDirectoryTracesAtLevelsOneToFourAndPublishingGoesOn)
{
  const std::string missing = dir.file("nowhere");
  {
    TraceLevel level(1);
    CaptureFd captured(1);
    EXPECT_EQ(manager.createLogFile(&sink, missing), 0);
    EXPECT_EQ(captured.release(),
              "Error opening log file " + missing + "/338_000.log from AlarmManager::createLogFile()");
  }
  EXPECT_EQ(manager.logName(), "");
  raiseAlarm("still published", 0, &manager);
  manager.scanPass();
  ASSERT_EQ(sink.count(), 1u);
  EXPECT_EQ(sink.messages()[0].text, "still published@10:11:12");

  for (int level : { 0, 5 }) {
    TraceLevel quiet(level);
    CaptureFd captured(1);
    EXPECT_EQ(manager.openLogFile(missing + "/x.log"), 0);
    EXPECT_EQ(captured.release(), "") << "level " << level;
  }
}

TEST_F(ManagerTest, PublishedMessageFields)
{
  ASSERT_EQ(manager.createLogFile(&sink, dir.path()), 1);
  const std::string longText(200, 'L');
  raiseAlarm(longText.c_str(), 2, &manager);
  raiseAlarm("warning", 1, &manager);
  raiseAlarm("odd priority", 7, &manager);
  clock.setWall(clock.wall() + 3600); // logged an hour later: arrival time stays the creation time
  manager.scanPass();

  const auto messages = sink.messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].text, std::string(128, 'L')) << "published text is cut to 128";
  EXPECT_EQ(messages[0].priority, 2);
  EXPECT_EQ(messages[0].arrivalTime, creationSeconds);
  EXPECT_EQ(messages[1].text, "warning@10:11:12");
  EXPECT_EQ(messages[1].priority, 1);
  EXPECT_EQ(messages[2].priority, 2) << "an unknown priority is published as ALARM";

  const auto logged = lines(log());
  ASSERT_EQ(logged.size(), 8u);
  EXPECT_EQ(logged[5], "11:11:12\t" + std::string(128, 'L') + "@10:11:12") << "the log line carries it whole";
}

TEST_F(ManagerTest, NoticeEnabledBeforeTheLogFileIsNeverLoggedNorPublished)
{
  raiseAlarm("Initializing alarm/msg log file", 0, &manager);
  manager.scanPass();
  EXPECT_EQ(manager.enabledCount() + manager.disabledCount(), 0u) << "released though never logged";
  ASSERT_EQ(manager.createLogFile(&sink, dir.path()), 1);
  raiseAlarm("Reading tmx.cfg file", 0, &manager);
  manager.scanPass();
  manager.scanPass();
  EXPECT_EQ(log(), headerFor(manager.logPath()) + "10:11:12\tReading tmx.cfg file@10:11:12\n");
  ASSERT_EQ(sink.count(), 1u);
  EXPECT_EQ(sink.messages()[0].text, "Reading tmx.cfg file@10:11:12");
}

TEST_F(ManagerTest, TimedAlarmEnabledAtTheNextPassAndDisabledAtThePassAfter)
{
  ASSERT_EQ(manager.createLogFile(&sink, dir.path()), 1);
  TimedAlarm water("Electronics housing water alarm", 5, 20, &manager);
  manager.scanPass();
  EXPECT_EQ(manager.disabledCount(), 1u);

  clock.setSeconds(0);
  water.check();
  clock.setSeconds(6);
  CaptureFd captured(1);
  water.check();
  captured.release();
  ASSERT_EQ(water.isTripped(), 1);
  EXPECT_EQ(manager.enabledCount(), 0u) << "nothing happens before a pass";

  {
    TraceLevel level(2);
    CaptureFd captured2(1);
    manager.scanPass();
    manager.scanPass(); // still tripped: nothing new
    EXPECT_EQ(captured2.release(),
              "Alarm enabled Electronics housing water alarm 00:06 since last trip @10:11:12 \n");
  }
  EXPECT_EQ(manager.enabledCount(), 1u);
  EXPECT_EQ(manager.disabledCount(), 0u);

  clock.setSeconds(7);
  water.check();
  {
    TraceLevel level(2);
    CaptureFd captured2(1);
    manager.scanPass();
    EXPECT_EQ(captured2.release(),
              "Alarm disabled: Electronics housing water alarm 00:07 since last trip @10:11:12 \n");
  }
  EXPECT_EQ(manager.enabledCount(), 0u);
  EXPECT_EQ(manager.disabledCount(), 1u);

  clock.setSeconds(13);
  CaptureFd captured2(1);
  water.check();
  captured2.release();
  manager.scanPass();

  EXPECT_EQ(log(),
            headerFor(manager.logPath()) +
              "10:11:12\tElectronics housing water alarm 00:06 since last trip @10:11:12\n"
              "10:11:12\tElectronics housing water alarm 00:06 since last trip @10:11:12\n")
    << "only enabling is logged";
  const auto messages = sink.messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].priority, 2);
  EXPECT_EQ(messages[0].arrivalTime, creationSeconds);
  EXPECT_EQ(manager.enabledCount(), 1u) << "an alarm owned elsewhere stays registered";
}

TEST_F(ManagerTest, TraceLevelOneShowsNoRegistrationEnableOrDisableLines)
{
  ASSERT_EQ(manager.createLogFile(&sink, dir.path()), 1);
  TraceLevel level(1);
  CaptureFd captured(1);
  {
    Alarm plain("plain", 0, &manager);
    raiseAlarm("owned", 0, &manager);
    manager.scanPass();
  }
  EXPECT_EQ(captured.release(), "");

  traceLevel = 2;
  CaptureFd captured2(1);
  raiseAlarm("owned", 0, &manager);
  manager.scanPass();
  EXPECT_EQ(captured2.release(),
            "owned@10:11:12\nAlarm enabled owned@10:11:12 \nDestructing Alarm Class owned@10:11:12\n");
}

TEST_F(ManagerTest, TwoAlarmsRaisedBeforeTheTaskWakesAreHandledInOnePass)
{
  ASSERT_EQ(manager.createLogFile(&sink, dir.path()), 1);
  raiseAlarm("first", 0, &manager);
  raiseAlarm("second", 2, &manager);
  ASSERT_EQ(manager.activate("AlarmMgr", 0, 0, 4096), 0);
  ASSERT_TRUE(sink.waitFor(2, waitMs));
  manager.stop();
  EXPECT_EQ(manager.passCount(), 2u) << "one pass for both, one more for close()";

  const auto messages = sink.messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].text, "first@10:11:12");
  EXPECT_EQ(messages[1].text, "second@10:11:12");
  EXPECT_EQ(log(), headerFor(manager.logPath()) + "10:11:12\tfirst@10:11:12\n10:11:12\tsecond@10:11:12\n");
}

TEST_F(ManagerTest, CloseEndsTheTaskAndClosesTheLog)
{
  ASSERT_EQ(manager.createLogFile(&sink, dir.path()), 1);
  ASSERT_EQ(manager.activate("AlarmMgr", 0, 0, 4096), 0);
  EXPECT_EQ(manager.activate("AlarmMgr", 0, 0, 4096), 1);
  EXPECT_EQ(manager.close(), 1);
  EXPECT_EQ(manager.wait(waitMs), 0);
  EXPECT_NE(manager.hasEnded(), 0);
  manager.writeLogLine("dropped");
  EXPECT_EQ(log(), headerFor(manager.logPath()));
}

TEST_F(ManagerTest, AlarmsWaitingWhenTheTaskStartsAfterCloseAreStillPublished)
{
  ASSERT_EQ(manager.createLogFile(&sink, dir.path()), 1);
  raiseAlarm("raised before the task ran", 0, &manager);
  manager.close();
  ASSERT_EQ(manager.activate("AlarmMgr", 0, 0, 4096), 0);
  EXPECT_EQ(manager.wait(waitMs), 0);
  ASSERT_EQ(sink.count(), 1u);
  EXPECT_EQ(sink.messages()[0].text, "raised before the task ran@10:11:12");
  EXPECT_EQ(manager.passCount(), 1u);
}

// A sink that reports while it publishes, as a supplier with a full queue
// might: must neither deadlock nor lose the report.
class ReportingSink : public RecordingSink
{
public:
  explicit ReportingSink(AlarmManager &manager)
    : manager_(manager)
  {
  }
  void send_event(const CORBA::Any &value) override
  {
    RecordingSink::send_event(value);
    if (!reported_.exchange(true))
      raiseAlarm("ERROR: event queue full", 2, &manager_);
  }

private:
  AlarmManager &manager_;
  std::atomic<bool> reported_{ false };
};

TEST_F(ManagerTest, ASinkMayReportWhilePublishing)
{
  ReportingSink reporting(manager);
  ASSERT_EQ(manager.createLogFile(&reporting, dir.path()), 1);
  ASSERT_EQ(manager.activate("AlarmMgr", 0, 0, 4096), 0);
  raiseAlarm("first", 0, &manager);
  ASSERT_TRUE(reporting.waitFor(2, waitMs));
  manager.stop();
  const auto messages = reporting.messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1].text, "ERROR: event queue full@10:11:12");
}

TEST_F(ManagerTest, NoWakeUpIsLost)
{
  ASSERT_EQ(manager.createLogFile(&sink, dir.path()), 1);
  ASSERT_EQ(manager.activate("AlarmMgr", 0, 0, 4096), 0);
  // Each notice alone, raised while the task is idle or just finishing a
  // pass: every one must be handled without a further wake-up.
  for (std::size_t i = 1; i <= 500; ++i) {
    raiseAlarm("ping", 0, &manager);
    ASSERT_TRUE(sink.waitFor(i, waitMs)) << "notice " << i << " never handled";
  }
  manager.stop();
  EXPECT_EQ(sink.count(), 500u);
}

TEST_F(ManagerTest, ConcurrentReportersEachLoggedAndPublishedExactlyOnceInOrder)
{
  ASSERT_EQ(manager.createLogFile(&sink, dir.path()), 1);
  ASSERT_EQ(manager.activate("AlarmMgr", 0, 0, 4096), 0);
  static constexpr int threads = 4;
  static constexpr int perThread = 2500;
  std::vector<std::thread> reporters;
  for (int t = 0; t < threads; ++t)
    reporters.emplace_back([this, t] {
      for (int i = 0; i < perThread; ++i)
        raiseAlarm(("T" + std::to_string(t) + "-" + std::to_string(i)).c_str(), 0, &manager);
    });
  for (auto &r : reporters)
    r.join();
  ASSERT_TRUE(sink.waitFor(threads * perThread, waitMs * 3));
  manager.stop();

  // Per reporter, notices arrive in the order raised; none twice, none lost.
  auto check = [](const std::vector<std::string> &texts, const char *what) {
    std::map<int, int> next;
    for (const std::string &text : texts) {
      int t = -1, i = -1;
      ASSERT_EQ(std::sscanf(text.c_str(), "T%d-%d@", &t, &i), 2) << what << ": " << text;
      ASSERT_EQ(i, next[t]) << what << ": reporter " << t;
      next[t] = i + 1;
    }
    ASSERT_EQ(next.size(), static_cast<std::size_t>(threads)) << what;
    for (auto &entry : next)
      EXPECT_EQ(entry.second, perThread) << what << ": reporter " << entry.first;
  };
  std::vector<std::string> published;
  for (const Published &p : sink.messages())
    published.push_back(p.text);
  check(published, "published");

  std::vector<std::string> logged;
  for (const std::string &line : lines(log()))
    if (line.size() > 9 && line[8] == '\t')
      logged.push_back(line.substr(9));
  check(logged, "logged");
  EXPECT_EQ(logged, published) << "log and publication in the same order";
  EXPECT_EQ(manager.enabledCount() + manager.disabledCount(), 0u);
}

TEST_F(ManagerTest, TimedAlarmsCheckedAndDestroyedWhileTheTaskScans)
{
  ASSERT_EQ(manager.createLogFile(&sink, dir.path()), 1);
  ASSERT_EQ(manager.activate("AlarmMgr", 0, 0, 4096), 0);
  std::atomic<bool> done{ false };
  // A busy reporter keeps passes running while alarms come and go.
  std::thread reporter([&] {
    for (int i = 0; i < 20000 && !done.load(); ++i)
      raiseAlarm("busy", 0, &manager);
  });
  EXPECT_TRUE(sink.waitFor(1, waitMs)) << "reporter and task both running";
  CaptureFd captured(1);
  std::uint32_t ticks = 0;
  for (int round = 0; round < 200; ++round) {
    auto water = std::make_unique<TimedAlarm>("water", 5, 20, &manager);
    for (int sighting = 0; sighting < 8; ++sighting) {
      clock.setTicks(ticks += 1000);
      water->check();
      if (water->isTripped())
        raiseAlarm("ERROR: water", 2, &manager);
    }
    water.reset(); // the periodic handler going away
  }
  done = true;
  reporter.join();
  captured.release();
  manager.stop();
  EXPECT_EQ(manager.enabledCount() + manager.disabledCount(), 0u);
  std::size_t errors = 0;
  for (const Published &p : sink.messages())
    errors += p.text.rfind("ERROR: water", 0) == 0;
  EXPECT_EQ(errors, 200u) << "one trip per round, at the seventh sighting";
}

// The log file's writes as a full file system makes them: `tear` bytes of
// the next write go out, then every write fails with ENOSPC while `full`.
std::atomic<bool> full{ false };
std::atomic<std::size_t> tear{ 0 };

ssize_t fullDiskWrite(int fd, const void *data, std::size_t size)
{
  if (const std::size_t n = tear.exchange(0))
    return ::write(fd, data, std::min(n, size));
  if (full.load()) {
    errno = ENOSPC;
    return -1;
  }
  return ::write(fd, data, size);
}

TEST_F(ManagerTest, FailedLogWritesAreReportedOncePerEpisodeAndCounted)
{
  ASSERT_EQ(manager.createLogFile(&sink, dir.path()), 1);
  manager.setWriteFunction(&fullDiskWrite);
  const std::string header = headerFor(manager.logPath());
  const std::string report = "Cannot write log file " + manager.logPath() + ": No space left on device";

  for (int episode = 1; episode <= 2; ++episode) {
    SCOPED_TRACE(episode);
    full = true;
    tear = 5; // the first line is cut off after "10:11"
    raiseAlarm("first", 0, &manager);
    raiseAlarm("second", 0, &manager);
    CaptureFd capturedErr(2);
    manager.scanPass();
    manager.scanPass(); // the report, whose own line is lost as well
    manager.scanPass();
    EXPECT_EQ(capturedErr.release(), report + "\n");
    const auto messages = sink.messages();
    ASSERT_EQ(messages.size(), 4u * episode - 1);
    EXPECT_EQ(messages.back().text, "ERROR: " + report + "@10:11:12");
    EXPECT_EQ(messages.back().priority, 2);

    full = false;
    raiseAlarm("third", 0, &manager);
    manager.scanPass();
  }
  const std::string recovered = "10:11\n10:11:12\tERROR: Log file write failed (No space left on device): "
                                "3 lines lost\n10:11:12\tthird@10:11:12\n";
  EXPECT_EQ(log(), header + recovered + recovered);
  manager.setWriteFunction(nullptr);
}

TEST_F(ManagerTest, AFullDeviceIsReportedOnceAndPublished)
{
  if (::access("/dev/full", W_OK) != 0)
    GTEST_SKIP() << "no writable /dev/full";
  manager.setEventSink(&sink);
  ASSERT_EQ(manager.openLogFile("/dev/full"), 1);
  constexpr std::size_t notices = 10;
  CaptureFd capturedErr(2);
  for (std::size_t i = 0; i < notices; ++i)
    raiseAlarm("lost", 0, &manager);
  manager.scanPass();
  manager.scanPass();
  const std::string err = capturedErr.release();
  EXPECT_EQ(err, "Cannot write log file /dev/full: No space left on device\n");
  const auto messages = sink.messages();
  ASSERT_EQ(messages.size(), notices + 1) << "the monitor goes on publishing";
  EXPECT_EQ(messages.back().text, "ERROR: Cannot write log file /dev/full: No space left on device@10:11:12");
  RecordProperty("lines_lost", std::to_string(notices + 1));
  RecordProperty("stderr_reports", std::to_string(std::count(err.begin(), err.end(), '\n')));
}

// Holds every publication until opened (or a generous time-out).
class GateSink : public RecordingSink
{
public:
  GateSink() { gate_.hold(); }
  void send_event(const CORBA::Any &value) override
  {
    gate_.pass(std::chrono::milliseconds(waitMs));
    RecordingSink::send_event(value);
  }
  void open() { gate_.release(); }

private:
  Gate gate_;
};

TEST_F(ManagerTest, FlushWaitsUntilEverythingRaisedIsLoggedAndPublished)
{
  using std::chrono::milliseconds;
  GateSink gate;
  struct StopFirst
  {
    GateSink &gate;
    AlarmManager &manager;
    ~StopFirst()
    {
      gate.open();
      manager.stop();
    }
  } stopFirst{ gate, manager };
  ASSERT_EQ(manager.createLogFile(&gate, dir.path()), 1);
  EXPECT_TRUE(manager.flush(milliseconds(0))) << "nothing raised";
  raiseAlarm("before the task", 0, &manager);
  EXPECT_FALSE(manager.flush(milliseconds(50))) << "no pass has run";

  ASSERT_EQ(manager.activate("AlarmMgr", 0, 0, 4096), 0);
  for (int i = 0; i < 100; ++i)
    raiseAlarm(("notice " + std::to_string(i)).c_str(), 0, &manager);
  EXPECT_FALSE(manager.flush(milliseconds(50))) << "publication held up in the sink";
  gate.open();
  ASSERT_TRUE(manager.flush(milliseconds(waitMs)));
  EXPECT_EQ(gate.count(), 101u) << "all published when flush returns";
  EXPECT_EQ(lines(log()).size(), 5u + 101u) << "all logged when flush returns";
  EXPECT_EQ(gate.messages().back().text, "notice 99@10:11:12");
}

TEST(ManagerLifetime, DestructionDeletesOwnedAlarmsAndLetsGoOfOthers)
{
  std::unique_ptr<Alarm> outlives;
  {
    AlarmManager local;
    raiseAlarm("never scanned", 0, &local); // deleted by the manager (leak checkers watch)
    outlives = std::make_unique<Alarm>("outlives", 0, &local);
    auto survivor = std::make_unique<TimedAlarm>("survivor", 5, 20, &local);
    local.scanPass();
    EXPECT_EQ(local.enabledCount(), 1u);
    EXPECT_EQ(local.disabledCount(), 1u);
    raiseAlarm("pending", 0, &local);
    survivor.reset(); // leaves the lists before its memory goes
    EXPECT_EQ(local.disabledCount(), 1u);
  }
  EXPECT_EQ(outlives->manager(), nullptr) << "the manager let go of it";
  outlives.reset(); // must not reach the destroyed manager
}

} // namespace
