// Time parameters, the CSV of raw records, and tmx-history on a small
// archive.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "archive/Archive.h"
#include "archive/TimeText.h"
#include "tests/support/TestSupport.h"
#include "wire/HousekeepingText.h"

using namespace tmx::archive;
using namespace tmx::wire;
using tmx::test::binaryPath;
using tmx::test::run;
using tmx::test::RunResult;
using tmx::test::TempDir;

TEST(TimeText, ParsesUnixSecondsAndIsoUtc)
{
  const struct
  {
    const char *text;
    std::optional<double> value;
  } cases[] = {
    { "1796724000", 1796724000.0 },
    { "1796724000.25", 1796724000.25 },
    { "0", 0.0 },
    { "2026-12-08T10:00:00Z", 1796724000.0 },
    { "2026-12-08T10:00:00", 1796724000.0 },
    { "2026-12-08T10:00:00.5Z", 1796724000.5 },
    { "2026-12-08T10:00Z", 1796724000.0 },
    { "2026-12-08", 1796688000.0 },
    { "2024-02-29", 1709164800.0 },
    { "2026-02-29", std::nullopt }, // no such day
    { "2026-12-08T24:00:00Z", std::nullopt },
    { "2026-13-01", std::nullopt },
    { "2026-12-08 10:00:00", std::nullopt },
    { " 1796724000", std::nullopt },
    { "-5", std::nullopt },
    { "1e9", std::nullopt },
    { "1796724000.", std::nullopt },
    { "2026-12-08T10:00:00+01:00", std::nullopt },
    { "2026-12-08.5", std::nullopt },
    { "99999999999999", std::nullopt }, // beyond year 9999
    { "now", std::nullopt },
    { "", std::nullopt },
  };
  for (const auto &c : cases)
    EXPECT_EQ(parseTime(c.text), c.value) << c.text;
  EXPECT_EQ(isoUtc(1796724000), "2026-12-08T10:00:00Z");
}

TEST(Export, CsvRowsAreExact)
{
  HousekeepingRecord a{ 0, 1796724000, 21.5, 40.1, false, 1796724000.4567 };
  HousekeepingRecord b{ 1, 1796724005, std::nullopt, 80.0, true, 1796724006.0 };
  HousekeepingRecord c{ 1, 1796724010, 2.0, 86.6, false, 1796724010.0 };
  HousekeepingRecord d{ 1, 1796724015, 20.0, std::nullopt, false, 1796724015.0 };
  // Dew points: 21.5 degC at 40.1 %RH 7.361 degC; 2 degC at 86.6 %RH -0.0014.
  EXPECT_EQ(csvHeader() + csvRow(a) + csvRow(b) + csvRow(c) + csvRow(d),
            "housing,reading_time,reading_time_utc,temperature,humidity,water,arrival_time,dew_point\n"
            "electronics,1796724000,2026-12-08T10:00:00Z,21.5,40.1,0,1796724000.457,7.36\n"
            "spectrograph,1796724005,2026-12-08T10:00:05Z,,80,1,1796724006.000,\n"
            "spectrograph,1796724010,2026-12-08T10:00:10Z,2,86.6,0,1796724010.000,0.00\n"
            "spectrograph,1796724015,2026-12-08T10:00:15Z,20,,0,1796724015.000,\n");
  EXPECT_EQ(
    jsonRow(b).dump(),
    R"({"arrivalTime":1796724006.0,"dewPoint":null,"housing":"spectrograph","humidity":80.0,)"
    R"("readingTime":1796724005,"readingTimeUtc":"2026-12-08T10:00:05Z","temperature":null,"water":true})");
  EXPECT_EQ(jsonRow(a)["dewPoint"], 7.36);
}

TEST(History, ExportsAndTellsWhatTheArchiveHolds)
{
  TempDir dir;
  const std::string path = dir.file("h.sqlite");
  {
    Archive a(path);
    Batch b;
    b.housekeeping = { { 1, 1796724005, 18.0, -1.0, true, 1796724005.5 },
                       { 0, 1796724000, 21.5, 40.0, false, 1796724000.25 },
                       { 0, 1796724005, 21.25, 40.5, false, 1796724005.5 },
                       { 0, 1796727600, 22.0, 41.0, false, 1796727600.5 } };
    b.messages = { { 2, "ALARM TEXT", 1796720400, 1796724001.0 } };
    a.write(b);
  }
  const std::string tool = binaryPath("tmx-history");
  auto r = run({ tool, "--archive", path, "export", "--from", "2026-12-08T10:00:00Z", "--to", "1796724005" });
  ASSERT_TRUE(r.status.ok()) << r.err;
  EXPECT_EQ(r.out,
            "housing,reading_time,reading_time_utc,temperature,humidity,water,arrival_time,dew_point\n"
            "electronics,1796724000,2026-12-08T10:00:00Z,21.5,40,0,1796724000.250,7.32\n"
            "electronics,1796724005,2026-12-08T10:00:05Z,21.25,40.5,0,1796724005.500,7.28\n"
            "spectrograph,1796724005,2026-12-08T10:00:05Z,18,,1,1796724005.500,\n");
  r = run({ tool,
            "export",
            "--archive=" + path,
            "--housing",
            "spectrograph",
            "--json",
            "--from",
            "0",
            "--to",
            "2026-12-09" });
  ASSERT_TRUE(r.status.ok()) << r.err;
  const auto j = nlohmann::json::parse(r.out);
  ASSERT_EQ(j.size(), 1u);
  EXPECT_TRUE(j[0]["humidity"].is_null());

  r = run({ tool, "--archive", path, "stats" });
  ASSERT_TRUE(r.status.ok()) << r.err;
  EXPECT_NE(r.out.find("housekeeping  4 records, first 2026-12-08T10:00:00Z, last 2026-12-08T11:00:00Z"),
            std::string::npos)
    << r.out;
  EXPECT_NE(r.out.find("messages      1 records"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("console       0 records"), std::string::npos) << r.out;

  const struct
  {
    std::vector<std::string> args;
    int status;
  } faults[] = {
    { { "--archive", path }, 2 },
    { { "--archive", path, "export", "--from", "0" }, 2 },
    { { "--archive", path, "export", "--from", "yesterday", "--to", "0" }, 2 },
    { { "--archive", path, "export", "--from", "5", "--to", "1" }, 2 },
    { { "--archive", path, "export", "--from", "0", "--to", "1", "--housing", "2" }, 2 },
    { { "--archive", path, "stats", "--json" }, 2 },
    { { "--archive", path, "purge" }, 2 },
    { { "--archive", path, "stats", "--archive", path }, 2 },
    { { "--archive", dir.file("missing.sqlite"), "stats" }, 1 },
    { { "--archive", dir.write("x.txt", std::string(4096, 'x')), "stats" }, 1 },
  };
  for (const auto &f : faults) {
    r = run(tmx::test::programArgs("tmx-history", {}, f.args));
    EXPECT_TRUE(r.status.exited && r.status.code == f.status) << f.args.back() << ": " << r.status.describe();
    EXPECT_FALSE(r.err.empty());
  }
}

namespace {

// A shell command's status and what it wrote on standard error.
RunResult shell(const std::string &command)
{
  return run({ "/bin/bash", "-c", command });
}

} // namespace

TEST(History, EveryWriteIsCheckedAndTheArchiveIsOnlyRead)
{
  TempDir dir;
  const std::string path = dir.file("h.sqlite");
  {
    Archive a(path);
    Batch b;
    for (int i = 0; i < 5000; ++i) // well over the 64 KiB written at a time
      b.housekeeping.push_back({ i % 2, 1796724000 + i, 20.5, 40.5, false, 1796724000.5 + i });
    a.write(b);
  }
  const std::string tool = binaryPath("tmx-history");
  const std::string exportCommand = tool + " --archive " + path + " export --from 0 --to 2026-12-09";
  const struct
  {
    const char *what;
    std::string command; // prints tmx-history's exit status
  } failing[] = {
    { "full disk", exportCommand + " >/dev/full; echo $?" },
    { "full disk, --json", exportCommand + " --json >/dev/full; echo $?" },
    { "closed pipe", exportCommand + " | head -c 10 >/dev/null; echo ${PIPESTATUS[0]}" },
    { "stats, full disk", tool + " --archive " + path + " stats >/dev/full; echo $?" },
  };
  for (const auto &f : failing) {
    SCOPED_TRACE(f.what);
    const RunResult r = shell(f.command);
    EXPECT_EQ(r.out, "1\n");
    EXPECT_EQ(tmx::test::countOccurrences(r.err, "\n"), 1u) << r.err;
    EXPECT_NE(r.err.find("tmx-history: cannot write"), std::string::npos) << r.err;
  }

  // A reader without write access to the folder reads a cleanly closed
  // archive, and leaves nothing beside it.
  if (::geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)
    GTEST_SKIP() << "needs root and setpriv to read as another user";
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  const std::string asNobody = "/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups ";
  RunResult r = shell("cd / && chmod 0555 " + dir.path() + " && " + asNobody + tool + " --archive " + path +
                      " stats; s=$?; chmod 0755 " + dir.path() + "; exit $s");
  EXPECT_TRUE(r.status.ok()) << r.err;
  EXPECT_NE(r.out.find("housekeeping  5000 records"), std::string::npos) << r.out;
  EXPECT_NE(::access((path + "-wal").c_str(), F_OK), 0);
  EXPECT_NE(::access((path + "-shm").c_str(), F_OK), 0);
}

TEST(History, AlarmsOfAWindowWithTheirAuditTrails)
{
  TempDir dir;
  const std::string path = dir.file("h.sqlite");
  const std::string comment = "said \"hi\", then\nleft\x01";
  {
    Archive a(path);
    Episode water;
    water.id = 1;
    water.housing = 0;
    water.kind = "water";
    water.severity = "critical";
    water.text = "Electronics housing water alarm";
    water.opened = 1796724000.5;
    water.lastTrip = 1796724007.5;
    water.trips = 2;
    water.cleared = 1796724100.0;
    water.clearedWhy = "cleared";
    water.latching = true;
    water.acknowledged = OperatorAction{ "ann", "127.0.0.1", 1796724200.25, comment };
    Episode other;
    other.id = 2;
    other.kind = "other";
    other.severity = "warning";
    other.text = "a, b";
    other.opened = other.lastTrip = 1796724300.0;
    other.peakValue = 0.1;
    other.peakAt = 1796724300.0;
    other.shelved = Shelving{ { "bob", "::1", 1796724400.0, "later" }, 1796728000.0 };
    Episode later = other;
    later.id = 3;
    later.opened = 1796800000.0; // after the window
    a.saveAlarms({ water, other, later },
                 { { 1, "acknowledge", water.acknowledged.value(), std::nullopt },
                   { 2, "shelve", other.shelved->action, 1796728000.0 } });
  }
  const std::string tool = binaryPath("tmx-history");
  const std::vector<std::string> alarms = {
    tool, "--archive", path, "alarms", "--from", "2026-12-08T10:00:00Z", "--to", "2026-12-08T12:00:00Z"
  };
  auto r = run(alarms);
  ASSERT_TRUE(r.status.ok()) << r.err;
  EXPECT_EQ(
    r.out,
    "record,episode,housing,kind,source,severity,opened,last_trip,trips,peak,peak_at,cleared,cleared_why,"
    "latching,acknowledged_by,acknowledged_at,shelved_by,shelved_until,text,action,by,address,at,until,"
    "comment\n"
    "episode,1,electronics,water,,critical,2026-12-08T10:00:00Z,2026-12-08T10:00:07Z,2,,,"
    "2026-12-08T10:01:40Z,cleared,1,ann,2026-12-08T10:03:20Z,,,Electronics housing water alarm,,,,,,\n"
    "audit,1,,,,,,,,,,,,,,,,,,acknowledge,ann,127.0.0.1,2026-12-08T10:03:20Z,,"
    "\"said \"\"hi\"\", then\\nleft\\x01\"\n"
    "episode,2,,other,,warning,2026-12-08T10:05:00Z,2026-12-08T10:05:00Z,1,0.1,2026-12-08T10:05:00Z,,,0,,,"
    "bob,2026-12-08T11:06:40Z,\"a, b\",,,,,,\n"
    "audit,2,,,,,,,,,,,,,,,,,,shelve,bob,::1,2026-12-08T10:06:40Z,2026-12-08T11:06:40Z,later\n");

  auto jsonArgs = alarms;
  jsonArgs.push_back("--json");
  r = run(jsonArgs);
  ASSERT_TRUE(r.status.ok()) << r.err;
  const auto j = nlohmann::json::parse(r.out);
  ASSERT_EQ(j.size(), 2u);
  EXPECT_EQ(j[0]["id"], 1);
  EXPECT_EQ(j[0]["housing"], "electronics");
  EXPECT_EQ(j[0]["opened"], 1796724000.5);
  EXPECT_EQ(j[0]["cleared"]["why"], "cleared");
  EXPECT_EQ(j[0]["acknowledged"]["comment"], comment);
  ASSERT_EQ(j[0]["audit"].size(), 1u);
  EXPECT_EQ(j[0]["audit"][0]["comment"], comment);
  EXPECT_EQ(j[0]["audit"][0]["action"], "acknowledge");
  EXPECT_TRUE(j[0]["audit"][0]["until"].is_null());
  EXPECT_TRUE(j[0]["shelved"].is_null());
  EXPECT_TRUE(j[1]["housing"].is_null());
  EXPECT_TRUE(j[1]["cleared"].is_null());
  EXPECT_EQ(j[1]["shelved"]["until"], 1796728000.0);
  EXPECT_EQ(j[1]["audit"][0]["until"], 1796728000.0);

  r = run({ tool, "--archive", path, "stats" });
  EXPECT_NE(r.out.find("episodes      3 records"), std::string::npos) << r.out;
  r = run({ tool, "--archive", path, "alarms", "--from", "0", "--to", "1", "--housing", "0" });
  EXPECT_TRUE(r.status.exited && r.status.code == 2) << r.status.describe();
}
