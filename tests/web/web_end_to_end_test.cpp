// tmx-web as a program on loopback, with a private omniNames and
// tmx-notifier: the real monitor's records reach the archive and the HTTP
// interface; kill -9 loses at most about a second and a restart goes on
// with the same archive; a notifier killed and restarted is subscribed to
// again and records flow within 15 s; a wet line is one alarm episode,
// acknowledged once and for good.
#include "archive/Archive.h"
#include "tests/support/TestSupport.h"
#include "tests/tools/ToolTest.h"
#include "tests/web/WebProcess.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <ctime>

using namespace tmx::test;
using std::chrono::milliseconds;
using Json = nlohmann::json;
using SteadyClock = std::chrono::steady_clock;

namespace {

// Reading times held in the archive for a housing (read-only open).
std::vector<std::int64_t> archived(const std::string &path, int housing)
{
  tmx::archive::OpenOptions ro;
  ro.readOnly = true;
  tmx::archive::Archive a(path, ro);
  std::vector<std::int64_t> times;
  for (const auto &r : a.records(0, 4e9, housing))
    times.push_back(r.readingTime);
  return times;
}

class WebEndToEnd : public ::testing::Test
{
protected:
  void SetUp() override
  {
    env = std::make_unique<CorbaEnv>();
    env->startNotifier();
  }

  // Pushes one housekeeping record of the electronics housing with the
  // given reading time, through the notifier bound now.
  void push(std::int64_t readingTime)
  {
    if (CORBA::is_nil(notifier)) {
      CORBA::Object_var obj = orb->resolve("Notifier");
      notifier = Event_Comm::Notifier::_narrow(obj.in());
    }
    notifier->push(makeEvent("hk", housekeepingValue(ELECTRONICS_HOUSING, 21.5, 40.0, false, readingTime)));
  }

  TempDir dir{ "tmx-web-e2e" };
  std::unique_ptr<CorbaEnv> env;
  std::unique_ptr<TestOrb> orb;
  Event_Comm::Notifier_var notifier;
};

TEST_F(WebEndToEnd, MonitorRecordsReachArchiveAndHttp)
{
  const std::string archive = dir.file("history.sqlite");
  WebProcess web(env->orbArgs(), archive);
  ASSERT_TRUE(web.process->waitForErr("subscribed to the notifier")) << web.process->err();

  // The monitor with simulated loggers, as in the monitor's own end-to-end
  // test.
  TempDir run("tmx-web-e2e-run");
  writeMonitorFiles(run);
  std::unique_ptr<ChildProcess> tmx = startMonitor(run, env->orbArgs());

  Json current;
  ASSERT_TRUE(eventually(
    [&] {
      current = web.get("/api/current");
      return current.is_object() && !current["housings"][0]["stale"].get<bool>() &&
             !current["housings"][1]["stale"].get<bool>();
    },
    milliseconds(30000)))
    << current.dump() << tmx->err() << web.process->err();
  EXPECT_EQ(current["service"]["state"], "subscribed");
  EXPECT_EQ(current["housings"][0]["housing"], "electronics");
  EXPECT_DOUBLE_EQ(current["housings"][0]["temperature"].get<double>(), 24.10);
  EXPECT_DOUBLE_EQ(current["housings"][1]["humidity"].get<double>(), 41.0);
  EXPECT_EQ(current["housings"][1]["water"], false);

  // Within a second or so it is in the archive, and served from there.
  ASSERT_TRUE(eventually([&] { return !archived(archive, 1).empty(); }, milliseconds(3000)));
  Json series = web.get("/api/housekeeping?housing=spectrograph");
  ASSERT_TRUE(series.is_object());
  ASSERT_FALSE(series["temperature"].empty()) << series.dump();
  EXPECT_EQ(series["temperature"][0][1], 18.25);
  EXPECT_EQ(series["resolution"], 0);

  const std::string metrics = web.text("/metrics");
  EXPECT_NE(metrics.find("tmx_housing_temperature_celsius{housing=\"electronics\"} 24.1"), std::string::npos)
    << metrics;
  EXPECT_NE(metrics.find("tmx_web_subscribed 1"), std::string::npos);

  // SIGTERM: a clean exit.
  tmx->closeStdin();
  EXPECT_TRUE(web.process->stop().ok()) << web.process->err();
}

TEST_F(WebEndToEnd, KillMinus9LosesAtMostASecondAndARestartGoesOn)
{
  const std::string archive = dir.file("history.sqlite");
  orb = std::make_unique<TestOrb>(env->orbArgs());
  auto web = std::make_unique<WebProcess>(env->orbArgs(), archive);
  ASSERT_TRUE(web->process->waitForErr("subscribed to the notifier")) << web->process->err();

  // 20 records a second for 3 s, then kill -9.
  std::vector<std::pair<std::int64_t, SteadyClock::time_point>> pushed;
  std::int64_t t = 1765188000;
  const auto until = SteadyClock::now() + milliseconds(3000);
  while (SteadyClock::now() < until) {
    push(++t);
    pushed.emplace_back(t, SteadyClock::now());
    std::this_thread::sleep_for(milliseconds(50)); // the pace of the records, not a synchronisation
  }
  const auto killedAt = SteadyClock::now();
  web->process->kill();

  const auto kept = archived(archive, 0);
  std::size_t missing = 0;
  for (const auto &p : pushed)
    if (killedAt - p.second > milliseconds(1200) &&
        std::find(kept.begin(), kept.end(), p.first) == kept.end())
      ++missing;
  EXPECT_EQ(missing, 0u) << kept.size() << " of " << pushed.size() << " records kept";
  EXPECT_GE(kept.size() + 30, pushed.size());

  // The same archive again: its records are served, new ones are added.
  web = std::make_unique<WebProcess>(env->orbArgs(), archive);
  ASSERT_TRUE(web->process->waitForErr("subscribed to the notifier")) << web->process->err();
  Json current = web->get("/api/current");
  EXPECT_EQ(current["housings"][0]["readingTime"], kept.back());
  push(++t);
  EXPECT_TRUE(eventually([&] { return archived(archive, 0).back() == t; }, milliseconds(3000)));
  EXPECT_TRUE(web->process->stop().ok()) << web->process->err();
}

TEST_F(WebEndToEnd, NotifierKilledAndRestartedRecordsFlowWithin15s)
{
  const std::string archive = dir.file("history.sqlite");
  orb = std::make_unique<TestOrb>(env->orbArgs());
  WebProcess web(env->orbArgs(), archive);
  ASSERT_TRUE(web.process->waitForErr("subscribed to the notifier")) << web.process->err();
  std::int64_t t = 1765188000;
  push(++t);
  ASSERT_TRUE(eventually([&] { return web.get("/api/current")["housings"][0]["readingTime"] == t; }));

  env->killNotifier();
  env->startNotifier();
  const auto restarted = SteadyClock::now();
  notifier = Event_Comm::Notifier::_nil();
  // Records every 200 ms through the new notifier until tmx-web shows one.
  auto lastPush = SteadyClock::now() - milliseconds(1000);
  ASSERT_TRUE(eventually(
    [&] {
      if (SteadyClock::now() - lastPush >= milliseconds(200)) {
        push(++t);
        lastPush = SteadyClock::now();
      }
      return web.get("/api/current")["housings"][0]["readingTime"] == t;
    },
    milliseconds(20000)))
    << web.process->err();
  const auto took = std::chrono::duration_cast<milliseconds>(SteadyClock::now() - restarted);
  EXPECT_LE(took.count(), 15000);
  // Said once, and subscribed again.
  const std::string err = web.process->err();
  EXPECT_NE(err.find("subscribing again"), std::string::npos) << err;
  EXPECT_NE(web.text("/metrics").find("tmx_web_subscribed 1"), std::string::npos);
  EXPECT_TRUE(web.process->stop().ok()) << err;
}

} // namespace

TEST_F(WebEndToEnd, ARecordFromTheFutureIsRefusedAndHidesNothing)
{
  const std::string archive = dir.file("history.sqlite");
  orb = std::make_unique<TestOrb>(env->orbArgs());
  auto web = std::make_unique<WebProcess>(env->orbArgs(), archive);
  ASSERT_TRUE(web->process->waitForErr("subscribed to the notifier")) << web->process->err();
  const auto now = static_cast<std::int64_t>(std::time(nullptr));
  push(now + 600); // a clock ten minutes ahead
  push(now - 30);  // then the real ones, one of them behind the last
  push(now - 40);
  ASSERT_TRUE(eventually([&] { return web->get("/api/current")["housings"][0]["readingTime"] == now - 40; }))
    << web->get("/api/current").dump();
  EXPECT_NE(web->text("/metrics").find("tmx_records_refused_total{reason=\"future\"} 1"), std::string::npos);
  EXPECT_TRUE(web->process->waitForErr("s ahead of this machine's clock")) << web->process->err();
  EXPECT_TRUE(web->process->stop().ok()) << web->process->err();
  EXPECT_EQ(archived(archive, 0), (std::vector<std::int64_t>{ now - 40, now - 30 }));
}

TEST_F(WebEndToEnd, RecordsLostAtShutdownMakeTheExitStatus1)
{
  if (::access("/usr/bin/prlimit", X_OK) != 0)
    GTEST_SKIP() << "needs prlimit";
  const std::string archive = dir.file("history.sqlite");
  orb = std::make_unique<TestOrb>(env->orbArgs());
  // A file size limit: the archive is made, then its writes fail as on a
  // full disk.
  WebProcess web(env->orbArgs(), archive, { "/usr/bin/prlimit", "--fsize=131072", "--" });
  ASSERT_TRUE(web.process->waitForErr("subscribed to the notifier")) << web.process->err();
  std::int64_t t = 1765188000;
  const auto until = SteadyClock::now() + milliseconds(20000);
  while (web.process->err().find("cannot write the archive") == std::string::npos &&
         SteadyClock::now() < until)
    for (int i = 0; i < 50; ++i)
      push(++t);
  ASSERT_NE(web.process->err().find("cannot write the archive"), std::string::npos) << web.process->err();
  push(++t);
  const ExitStatus s = web.process->stop();
  EXPECT_TRUE(s.exited && s.code == 1) << s.describe() << " " << web.process->err();
  EXPECT_NE(web.process->err().find("records could not be written to the archive"), std::string::npos)
    << web.process->err();
}

// A wet line gives one episode whose trips count up; dry leaves it
// latched; an acknowledgement clears it and is still there after a
// restart of tmx-web. Prints the figures of the run.
TEST_F(WebEndToEnd, AWetLineIsOneEpisodeUntilAcknowledged)
{
  const std::string archive = dir.file("history.sqlite");
  const std::vector<std::string> options{ "--local-operator", "ann" };
  auto web = std::make_unique<WebProcess>(env->orbArgs(), archive, std::vector<std::string>{}, options);
  ASSERT_TRUE(web->process->waitForErr("subscribed to the notifier")) << web->process->err();
  TempDir run("tmx-web-e2e-run");
  MonitorFiles files;
  files.electronicsWet = true;
  writeMonitorFiles(run, files);
  std::unique_ptr<ChildProcess> tmx = startMonitor(run, env->orbArgs());

  // The episode is shown as soon as the first trip's message has come.
  Json alarms;
  const auto water = [&](int trips) {
    alarms = web->get("/api/alarms");
    return alarms.is_object() && alarms["count"] == 1 && alarms["alarms"][0]["kind"] == "water" &&
           alarms["alarms"][0]["trips"].get<int>() >= trips;
  };
  ASSERT_TRUE(eventually([&] { return water(1); }, milliseconds(20000))) << alarms.dump() << tmx->err();
  const double opened = alarms["alarms"][0]["opened"].get<double>();
  std::printf("episode shown %.3f s after its first message arrived\n",
              std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() -
                opened);
  ASSERT_TRUE(eventually([&] { return water(2); }, milliseconds(12000))) << alarms.dump();
  EXPECT_EQ(alarms["alarms"][0]["severity"], "critical");
  EXPECT_EQ(alarms["alarms"][0]["housing"], "electronics");
  EXPECT_TRUE(alarms["alarms"][0]["active"].get<bool>());

  run.write("port.dev", std::string(0x400, '\xFF')); // dry
  ASSERT_TRUE(eventually(
    [&] {
      alarms = web->get("/api/alarms");
      return alarms.is_object() && alarms["count"] == 1 && alarms["alarms"][0]["latched"] == true;
    },
    milliseconds(10000)))
    << alarms.dump();
  EXPECT_EQ(alarms["alarms"][0]["cleared"]["why"], "dry");
  const int trips = alarms["alarms"][0]["trips"].get<int>();
  const Json messages = web->get("/api/messages?limit=1000&from=" + std::to_string(opened - 60));
  ASSERT_TRUE(messages.is_object());
  int waterMessages = 0;
  for (const auto &m : messages["messages"])
    waterMessages += m["text"].get<std::string>().find("water alarm") != std::string::npos;
  std::printf("%d water alarm messages, %d trips, 1 episode over %.0f s wet\n",
              waterMessages,
              trips,
              alarms["alarms"][0]["cleared"]["at"].get<double>() - opened);

  const auto t0 = SteadyClock::now();
  auto acked =
    web->client->Post("/api/alarms/1/acknowledge", "{\"comment\":\"mopped up\"}", "application/json");
  const double roundTrip = std::chrono::duration<double, std::milli>(SteadyClock::now() - t0).count();
  ASSERT_TRUE(acked);
  ASSERT_EQ(acked->status, 200) << acked->body;
  std::printf("acknowledgement round trip %.1f ms\n", roundTrip);
  EXPECT_EQ(web->get("/api/alarms")["count"], 0);
  std::printf("alarm health of the run: %s\n", web->text("/api/alarms/health?hours=1").c_str());

  EXPECT_TRUE(web->process->stop().ok()) << web->process->err();
  web = std::make_unique<WebProcess>(env->orbArgs(), archive, std::vector<std::string>{}, options);
  const Json all = web->get("/api/alarms?state=all&from=" + std::to_string(opened - 60));
  ASSERT_TRUE(all.is_object());
  ASSERT_EQ(all["alarms"].size(), 1u) << all.dump();
  EXPECT_EQ(all["alarms"][0]["acknowledged"]["by"], "ann");
  EXPECT_EQ(all["alarms"][0]["acknowledged"]["comment"], "mopped up");
  EXPECT_EQ(all["alarms"][0]["audit"].size(), 1u);
  tmx->closeStdin();
  EXPECT_TRUE(web->process->stop().ok()) << web->process->err();
}

TEST(WebArchive, WhatItCannotWriteIsRefusedAtStart)
{
  if (::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0)
    GTEST_SKIP() << "needs root and setpriv to run as another user";
  TempDir dir{ "tmx-web-ro" };
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  {
    tmx::archive::Archive made(dir.file("a.sqlite"));
  }
  ASSERT_EQ(::chmod(dir.file("a.sqlite").c_str(), 0644), 0); // root's: not another user's to write
  const struct
  {
    const char *what;
    std::string archive, reason;
  } cases[] = {
    { "read-only file", dir.file("a.sqlite"), "the file cannot be written" },
    { "read-only folder", dir.file("new.sqlite"), "its folder " + dir.path() + " cannot be written" },
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const RunResult r = run({ "/usr/bin/setpriv",
                              "--reuid=65534",
                              "--regid=65534",
                              "--clear-groups",
                              binaryPath("tmx-web"),
                              "-ORBInitRef",
                              "NameService=corbaloc:iiop:127.0.0.1:1/NameService",
                              "--archive",
                              c.archive,
                              "--listen",
                              "127.0.0.1:0" });
    EXPECT_TRUE(r.status.exited && r.status.code == 1) << r.status.describe() << " " << r.err;
    EXPECT_NE(r.err.find("refused: " + c.reason), std::string::npos) << r.err;
    EXPECT_EQ(tmx::test::countOccurrences(r.err, "refused"), 1u) << r.err;
  }
  for (const char *name : { "a.sqlite-wal", "a.sqlite-shm", "new.sqlite" })
    EXPECT_NE(::access(dir.file(name).c_str(), F_OK), 0) << name;
}

// Operator and alerting options that cannot work are usage errors (status
// 2), before any archive or naming service is looked at.
TEST(WebOptions, BadOperatorOptionsAreUsageErrors)
{
  const struct
  {
    std::vector<std::string> args;
    const char *says;
  } cases[] = {
    { { "--trusted-proxy", "127.0.0.1" }, "--trusted-proxy needs --operator-header" },
    { { "--operator-header", "X-Remote-User", "--trusted-proxy", "proxy.example.org" },
      "needs an IP address" },
    { { "--operator-header", "" }, "--operator-header needs a header name" },
    { { "--operator-header", "X Remote User" }, "--operator-header needs a header name" },
    { { "--local-operator", " " }, "--local-operator needs a name" },
    { { "--max-shelve", "0" }, "--max-shelve needs a duration" },
    { { "--max-shelve", "31d" }, "--max-shelve needs a duration" },
    { { "--max-shelve", "2w" }, "--max-shelve needs a duration" },
    { { "--max-shelve", "h" }, "--max-shelve needs a duration" },
    { { "--alertmanager", "127.0.0.1:9093" }, "--alertmanager needs an http:// or https:// URL" },
    { { "--alertmanager", "ftp://127.0.0.1/" }, "--alertmanager needs an http:// or https:// URL" },
    { { "--alertmanager", "http://" }, "--alertmanager needs an http:// or https:// URL" },
    { { "--external-url", "dash" }, "--external-url needs an http:// or https:// URL" },
    { { "--escalate-after", "0" }, "--escalate-after needs a duration" },
    { { "--alert-interval", "0" }, "--alert-interval" },
  };
  for (const auto &c : cases) {
    std::vector<std::string> argv{ binaryPath("tmx-web"), "--archive", "/nonexistent/a.sqlite" };
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(c.args.back());
    const RunResult r = run(argv);
    EXPECT_TRUE(r.status.exited && r.status.code == 2) << r.status.describe() << " " << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
}
