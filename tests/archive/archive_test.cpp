// The archive: refusal of foreign files, summaries against brute force,
// readings that could not be read, retention, reopening, concurrent reads,
// upgrades of older versions, alarm episodes and their audit trail.
#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "archive/Archive.h"
#include "tests/support/TestUtil.h"

using namespace tmx::archive;
using tmx::test::readFile;
using tmx::test::TempDir;

namespace {

constexpr std::int64_t t0 = 1796725800; // 2026-12-08T10:30:00Z, inside an hour

// Runs sql on the file through a connection of its own.
void sql(const std::string &path, const std::string &text)
{
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char *err = nullptr;
  EXPECT_EQ(sqlite3_exec(db, text.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
  sqlite3_free(err);
  sqlite3_close(db);
}

long long sqlNumber(const std::string &path, const std::string &query)
{
  sqlite3 *db = nullptr;
  sqlite3_stmt *s = nullptr;
  long long v = -1;
  if (sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
      sqlite3_prepare_v2(db, query.c_str(), -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
    v = sqlite3_column_int64(s, 0);
  sqlite3_finalize(s);
  sqlite3_close(db);
  return v;
}

HousekeepingRecord record(int housing,
                          std::int64_t t,
                          std::optional<double> temp,
                          std::optional<double> rh,
                          bool water)
{
  HousekeepingRecord r;
  r.housing = housing;
  r.readingTime = t;
  r.temperature = temp;
  r.humidity = rh;
  r.water = water;
  r.arrivalTime = static_cast<double>(t) + 0.125;
  return r;
}

// Random records of both housings every 5 s (with gaps), some values -1.0,
// wet now and then, written in batches of random size.
std::vector<HousekeepingRecord> randomRecords(std::int64_t from, std::int64_t seconds, unsigned seed)
{
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> value(-20, 60);
  std::uniform_int_distribution<int> pct(0, 99);
  std::vector<HousekeepingRecord> out;
  for (std::int64_t t = from; t < from + seconds; t += 5)
    for (int h = 0; h < 2; ++h) {
      if (pct(rng) < 3)
        continue; // gap
      out.push_back(record(h,
                           t,
                           pct(rng) < 5 ? -1.0 : value(rng),
                           pct(rng) < 5 ? std::nullopt : std::optional<double>(value(rng) + 40),
                           pct(rng) < 2));
    }
  return out;
}

void writeAll(Archive &a, const std::vector<HousekeepingRecord> &records, unsigned seed)
{
  std::mt19937 rng(seed);
  std::uniform_int_distribution<std::size_t> size(1, 700);
  for (std::size_t i = 0; i < records.size();) {
    Batch b;
    const std::size_t n = std::min(size(rng), records.size() - i);
    b.housekeeping.assign(records.begin() + i, records.begin() + i + n);
    a.write(b);
    i += n;
  }
}

// An archive of version 1 with one record of each kind, as files of that
// version hold it.
const char *const v1Archive = R"(
PRAGMA journal_mode = WAL;
CREATE TABLE housekeeping(housing INTEGER NOT NULL, reading_time INTEGER NOT NULL, temperature REAL,
  humidity REAL, water INTEGER NOT NULL, arrival_time REAL NOT NULL,
  PRIMARY KEY(housing, reading_time)) WITHOUT ROWID;
CREATE TABLE messages(id INTEGER PRIMARY KEY, arrival_time REAL NOT NULL, kind INTEGER NOT NULL,
  priority INTEGER, sent_time INTEGER, text TEXT NOT NULL);
CREATE INDEX messages_time ON messages(arrival_time);
CREATE TABLE summary(resolution INTEGER NOT NULL, housing INTEGER NOT NULL, bucket INTEGER NOT NULL,
  t_count INTEGER NOT NULL, t_sum REAL NOT NULL, t_min REAL, t_max REAL, h_count INTEGER NOT NULL,
  h_sum REAL NOT NULL, h_min REAL, h_max REAL, wet INTEGER NOT NULL,
  PRIMARY KEY(resolution, housing, bucket)) WITHOUT ROWID;
INSERT INTO housekeeping VALUES(0, 1796724000, 21.5, NULL, 1, 1796724000.5);
INSERT INTO summary VALUES(60, 0, 1796724000, 1, 21.5, 21.5, 21.5, 0, 0, NULL, NULL, 1);
INSERT INTO messages VALUES(1, 1796724001.0, 0, 2, 1796720401, 'ALARM TEXT');
PRAGMA application_id = 1414355016;
PRAGMA user_version = 1;)";

} // namespace

TEST(Archive, RecordsItsSchemaAndRefusesOtherFilesUntouched)
{
  TempDir dir;
  const std::string good = dir.file("good.sqlite");
  {
    Archive a(good);
    Batch b;
    for (int i = 0; i < 2000; ++i)
      b.housekeeping.push_back(record(i % 2, t0 + i, 20.0, 50.0, false));
    a.write(b);
  }
  EXPECT_EQ(sqlNumber(good, "PRAGMA application_id"), 0x544D5848);
  EXPECT_EQ(sqlNumber(good, "PRAGMA user_version"), 3);
  std::string mode;
  {
    sqlite3 *db = nullptr;
    sqlite3_stmt *s = nullptr;
    sqlite3_open(good.c_str(), &db);
    sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &s, nullptr);
    if (sqlite3_step(s) == SQLITE_ROW)
      mode = reinterpret_cast<const char *>(sqlite3_column_text(s, 0));
    sqlite3_finalize(s);
    sqlite3_close(db);
  }
  EXPECT_EQ(mode, "wal");

  const std::string foreign = dir.file("foreign.sqlite");
  sql(foreign, "CREATE TABLE t(x); INSERT INTO t VALUES(1);");
  const std::string text = dir.write("notes.txt", std::string(8192, 'x'));
  const std::string newer = dir.file("newer.sqlite");
  {
    Archive a(newer);
  }
  sql(newer, "PRAGMA user_version = 4");
  const std::string damaged = dir.file("damaged.sqlite");
  {
    std::string bytes = readFile(good);
    ASSERT_GT(bytes.size(), 4 * 4096u);
    for (std::size_t i = 4096; i < 4 * 4096; ++i) // pages 2 to 4: table roots
      bytes[i] = static_cast<char>(0xA5);
    dir.write("damaged.sqlite", bytes);
  }

  const struct
  {
    std::string path, reason;
  } cases[] = { { foreign, "not a tmx-web archive" },
                { text, "not an SQLite database" },
                { newer, "schema version 4 is newer" },
                { damaged, "damaged" } };
  for (const auto &c : cases)
    for (bool readOnly : { false, true }) {
      SCOPED_TRACE(c.path);
      const std::string before = readFile(c.path);
      OpenOptions o;
      o.readOnly = readOnly;
      try {
        Archive a(c.path, o);
        ADD_FAILURE() << "opened";
      } catch (const RefusedError &e) {
        EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find(c.path), std::string::npos) << e.what();
      }
      EXPECT_EQ(readFile(c.path), before);
      // Nothing made beside it either.
      EXPECT_NE(::access((c.path + "-wal").c_str(), F_OK), 0);
      EXPECT_NE(::access((c.path + "-shm").c_str(), F_OK), 0);
    }
  OpenOptions ro;
  ro.readOnly = true;
  EXPECT_THROW(Archive(dir.file("missing.sqlite"), ro), RefusedError);
}

TEST(Archive, AnExactRepeatIsCountedOtherValuesOfAReadingTimeAreKept)
{
  TempDir dir;
  Archive a(dir.file("a.sqlite"));
  Batch b;
  b.housekeeping = { record(0, t0, 20.0, 50.0, false), record(0, t0, 20.0, 50.0, false) };
  WriteCounts c = a.write(b);
  EXPECT_EQ(c.housekeeping, 1u);
  EXPECT_EQ(c.repeated, 1u);
  // The clock stepped back: the same reading time with other values, twice,
  // and one of them again.
  b.housekeeping = { record(0, t0, 22.0, -1.0, true),
                     record(0, t0, 24.0, 40.0, false),
                     record(0, t0, 22.0, -1.0, true) };
  c = a.write(b);
  EXPECT_EQ(c.housekeeping, 2u);
  EXPECT_EQ(c.repeated, 1u);
  const auto kept = a.records(t0, t0, 0);
  ASSERT_EQ(kept.size(), 3u);
  std::multiset<double> temperatures;
  for (const auto &r : kept)
    temperatures.insert(*r.temperature);
  EXPECT_EQ(temperatures, (std::multiset<double>{ 20.0, 22.0, 24.0 }));
  // All three count in the summaries, the repeats not.
  const Series s = a.housekeeping(0, t0, t0 + 3 * 86400, 2);
  ASSERT_FALSE(s.temperature.empty());
  EXPECT_EQ(*s.temperature[0].mean, 22.0);
  EXPECT_EQ(*s.humidity[0].mean, 45.0);
}

TEST(Archive, AVersion1ArchiveIsReadAsItIsAndUpgradedInPlaceByAWriter)
{
  TempDir dir;
  const std::string path = dir.file("v1.sqlite");
  sql(path, v1Archive);
  const HousekeepingRecord first{ 0, 1796724000, 21.5, std::nullopt, true, 1796724000.5 };
  {
    OpenOptions ro;
    ro.readOnly = true;
    Archive reader(path, ro);
    EXPECT_EQ(reader.records(0, 4e9, std::nullopt), std::vector<HousekeepingRecord>{ first });
    EXPECT_EQ(reader.log(0, 4e9, 10).size(), 1u);
  }
  EXPECT_EQ(sqlNumber(path, "PRAGMA user_version"), 1); // a reader changes nothing
  {
    Archive writer(path);
    EXPECT_EQ(writer.records(0, 4e9, std::nullopt), std::vector<HousekeepingRecord>{ first });
    Batch b;
    b.housekeeping = { { 0, 1796724000, 19.0, 30.0, false, 1796724010.0 } };
    EXPECT_EQ(writer.write(b).housekeeping, 1u); // beside the first: the key took only one before
    EXPECT_EQ(writer.records(0, 4e9, 0).size(), 2u);
    EXPECT_EQ(writer.log(0, 4e9, 10).size(), 1u);
  }
  EXPECT_EQ(sqlNumber(path, "PRAGMA user_version"), 3);
  EXPECT_NO_THROW(Archive{ path }); // and passes the integrity check
}

TEST(Archive, ANewArchiveThatCannotBeMadeLeavesNothing)
{
  TempDir dir;
  const std::string path = dir.file("new.sqlite");
  // A full disk, as the file size limit makes it: writes fail with EFBIG.
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit tiny = saved;
  tiny.rlim_cur = 512;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
  bool threw = false;
  try {
    Archive a(path);
  } catch (const Error &) {
    threw = true;
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_TRUE(threw);
  for (const char *suffix : { "", "-wal", "-shm" })
    EXPECT_NE(::access((path + suffix).c_str(), F_OK), 0) << suffix;
}

struct Expected
{
  std::int64_t count[2] = { 0, 0 };
  double sum[2] = { 0, 0 };
  double min[2] = { HUGE_VAL, HUGE_VAL }, max[2] = { -HUGE_VAL, -HUGE_VAL };
};

TEST(Archive, SummariesMatchBruteForceAtEveryResolution)
{
  TempDir dir;
  Archive a(dir.file("a.sqlite"));
  const std::int64_t span = 3 * 86400;
  const auto recs = randomRecords(t0, span, 7);
  writeAll(a, recs, 8);

  const auto floorTo = [](std::int64_t t, std::int64_t w) { return (t / w) * w; };
  const struct
  {
    double from, to;
    unsigned points;
    int resolution; // expected
  } cases[] = {
    { double(t0), double(t0 + span), 2, 3600 },  // merged to 2 points
    { double(t0), double(t0 + span), 73, 3600 }, // 73 hourly buckets overlap
    { double(t0), double(t0 + span), 100, 600 }, // too few hours: 10 min
    { double(t0), double(t0 + span), 1000, 60 }, // too few 10 min buckets: 1 min, merged
    { double(t0 + 17), double(t0 + 6 * 3600 + 17), 361, 60 },
    { double(t0 + 100), double(t0 + 4000), 5000, 0 },  // fewer records than points: raw
    { double(t0 + 100), double(t0 + 7300), 1000, 60 }, // more records, 60 s too few: finest
  };
  // Any window is answered in bounded size.
  for (unsigned points : { 2u, 1000u, 10000u, 50000u }) {
    const Series s = a.housekeeping(0, -1e300, 1e300, points);
    EXPECT_EQ(s.resolution, 3600);
    EXPECT_LE(s.temperature.size(), std::min(points, maxPoints));
    EXPECT_FALSE(s.temperature.empty());
  }
  for (const auto &c : cases)
    for (int housing : { 0, 1 }) {
      SCOPED_TRACE(std::to_string(c.points) + " points from " + std::to_string(c.from));
      const Series s = a.housekeeping(housing, c.from, c.to, c.points);
      ASSERT_EQ(s.resolution, c.resolution);
      ASSERT_LE(s.temperature.size(), c.points);
      ASSERT_EQ(s.humidity.size(), s.temperature.size());
      ASSERT_FALSE(s.temperature.empty());
      // Width of a point: k buckets, so that the groups (aligned to
      // multiples of the width) are no more than the points asked for.
      std::int64_t width = c.resolution;
      if (c.resolution) {
        const std::int64_t n = std::int64_t(c.to) / c.resolution - std::int64_t(c.from) / c.resolution + 1;
        if (n > c.points)
          width *= (n + c.points - 2) / (c.points - 1);
      }
      std::map<std::int64_t, Expected> expected;
      std::vector<std::pair<double, double>> wetBuckets;
      for (const auto &r : recs) {
        if (r.housing != housing)
          continue;
        const std::int64_t bucket = c.resolution ? floorTo(r.readingTime, c.resolution) : r.readingTime;
        const std::int64_t lo =
          c.resolution ? floorTo(std::int64_t(c.from), c.resolution) : std::int64_t(std::ceil(c.from));
        if (bucket < lo || bucket > std::int64_t(c.to))
          continue;
        Expected &e = expected[c.resolution ? floorTo(r.readingTime, width) : r.readingTime];
        const std::optional<double> v[2] = { r.temperature == -1.0 ? std::nullopt : r.temperature,
                                             r.humidity };
        for (int q = 0; q < 2; ++q)
          if (v[q]) {
            ++e.count[q];
            e.sum[q] += *v[q];
            e.min[q] = std::min(e.min[q], *v[q]);
            e.max[q] = std::max(e.max[q], *v[q]);
          }
      }
      ASSERT_EQ(s.temperature.size(), expected.size());
      std::size_t i = 0;
      for (const auto &[t, e] : expected) {
        const SeriesPoint *p[2] = { &s.temperature[i], &s.humidity[i] };
        for (int q = 0; q < 2; ++q) {
          ASSERT_EQ(p[q]->t, double(t));
          ASSERT_EQ(p[q]->min.has_value(), e.count[q] > 0);
          if (e.count[q] == 0)
            continue;
          EXPECT_EQ(*p[q]->min, e.min[q]);
          EXPECT_EQ(*p[q]->max, e.max[q]);
          EXPECT_NEAR(*p[q]->mean, e.sum[q] / double(e.count[q]), 1e-9);
        }
        ++i;
      }
      // Every wet record lies in a wet interval.
      for (const auto &r : recs)
        if (r.housing == housing && r.water && r.readingTime >= c.from && r.readingTime <= c.to) {
          bool covered = false;
          for (const auto &w : s.wet)
            covered = covered || (w.first <= r.readingTime && r.readingTime <= w.second);
          EXPECT_TRUE(covered) << r.readingTime;
        }
    }
}

TEST(Archive, MinusOneIsStoredAsNoValueAndLeftOutOfSummaries)
{
  TempDir dir;
  const std::string path = dir.file("a.sqlite");
  {
    Archive a(path);
    Batch b;
    b.housekeeping = { record(0, t0, -1.0, 40.0, false),
                       record(0, t0 + 5, 20.0, -1.0, false),
                       record(0, t0 + 10, 22.0, std::nullopt, false) };
    a.write(b);
    const auto raw = a.records(t0, t0 + 10, 0);
    ASSERT_EQ(raw.size(), 3u);
    EXPECT_FALSE(raw[0].temperature);
    EXPECT_FALSE(raw[1].humidity);
    const Series s = a.housekeeping(0, t0, t0 + 3600 * 4, 2); // from summaries
    ASSERT_NE(s.resolution, 0);
    ASSERT_EQ(s.temperature.size(), 1u);
    EXPECT_EQ(*s.temperature[0].min, 20.0);
    EXPECT_EQ(*s.temperature[0].mean, 21.0);
    EXPECT_EQ(*s.humidity[0].min, 40.0);
    EXPECT_EQ(*s.humidity[0].max, 40.0);
  }
  EXPECT_EQ(sqlNumber(path, "SELECT count(*) FROM housekeeping WHERE temperature = -1 OR humidity = -1"), 0);
  EXPECT_EQ(sqlNumber(path, "SELECT count(*) FROM housekeeping WHERE temperature IS NULL"), 1);
}

TEST(Archive, PrunesInStepsSummariesIncluded)
{
  TempDir dir;
  const std::string path = dir.file("a.sqlite");
  Archive a(path);
  const auto recs = randomRecords(t0, 2 * 86400, 3);
  writeAll(a, recs, 4);
  Batch m;
  for (int i = 0; i < 50; ++i)
    m.messages.push_back({ 0, "old " + std::to_string(i), t0, double(t0 + i) });
  m.console.push_back({ "new line", double(t0 + 2 * 86400) });
  a.write(m);

  const double cut = double(t0 + 86400 + 1000); // not on a bucket boundary
  const auto keptBefore = a.records(cut, t0 + 2 * 86400, std::nullopt);
  std::size_t steps = 0, total = 0;
  while (std::size_t n = a.prune(cut, 500)) {
    EXPECT_LE(n, 500u);
    total += n;
    ASSERT_LT(++steps, 10000u);
  }
  EXPECT_GT(steps, 10u);
  EXPECT_TRUE(a.records(0, cut - 0.001, std::nullopt).empty());
  EXPECT_EQ(a.records(cut, t0 + 2 * 86400, std::nullopt), keptBefore);
  // No bucket that ended before the cut is left at any resolution; the
  // later ones are.
  const std::string cutText = std::to_string(std::int64_t(cut));
  EXPECT_EQ(sqlNumber(path, "SELECT count(*) FROM summary WHERE bucket + resolution <= " + cutText), 0);
  for (int res : summaryResolutions) {
    std::set<std::int64_t> later;
    for (const auto &r : recs)
      if (r.housing == 0 && (r.readingTime / res) * res + res > cut)
        later.insert((r.readingTime / res) * res);
    EXPECT_EQ(
      sqlNumber(path,
                "SELECT count(*) FROM summary WHERE housing = 0 AND resolution = " + std::to_string(res)),
      std::int64_t(later.size()));
  }
  const auto log = a.log(0, 1e12, 100);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].text, "new line");
}

TEST(Archive, ReopenedArchiveHoldsEverything)
{
  TempDir dir;
  const std::string path = dir.file("a.sqlite");
  Batch b;
  b.housekeeping = { record(0, t0, 21.5, 40.25, false),
                     record(1, t0, 18.0, 55.0, true),
                     record(0, t0 + 5, 21.75, 40.0, false) };
  b.messages = { { 2, "WATER IN SPECTROGRAPH", -3600, double(t0) + 0.5 },
                 { 0, "heater on", 1234567890123LL, double(t0) + 1.5 } };
  b.console = { { "console: Ä line", double(t0) + 1.0 } };
  {
    Archive a(path);
    const WriteCounts n = a.write(b);
    EXPECT_EQ(n.housekeeping, 3u);
    EXPECT_EQ(n.messages, 2u);
    EXPECT_EQ(n.console, 1u);
    Batch again;
    again.housekeeping = b.housekeeping;
    EXPECT_EQ(a.write(again).housekeeping, 0u); // the same records are not stored twice
  }
  Archive a(path);
  EXPECT_EQ(a.records(t0, t0 + 5, std::nullopt),
            (std::vector<HousekeepingRecord>{ b.housekeeping[0], b.housekeeping[1], b.housekeeping[2] }));
  EXPECT_EQ(a.latest(0), b.housekeeping[2]);
  EXPECT_EQ(a.latest(1), b.housekeeping[1]);
  const auto log = a.log(t0, t0 + 2, 3);
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].text, "heater on"); // newest first
  EXPECT_EQ(log[0].sentTime, 1234567890123LL);
  EXPECT_EQ(log[1].kind, LogEntry::Kind::console);
  EXPECT_FALSE(log[1].priority);
  EXPECT_EQ(log[1].text, "console: Ä line");
  EXPECT_EQ(log[2].priority, 2);
  EXPECT_EQ(log[2].sentTime, -3600);
  EXPECT_EQ(a.log(t0, t0 + 2, 1).size(), 1u);
  const Stats st = a.stats();
  EXPECT_EQ(st.housekeeping.count, 3u);
  EXPECT_EQ(st.housekeeping.first, double(t0));
  EXPECT_EQ(st.housekeeping.last, double(t0 + 5));
  EXPECT_EQ(st.messages.count, 2u);
  EXPECT_EQ(st.console.count, 1u);
  EXPECT_GT(st.fileBytes, 0u);
}

// Readers on other threads while the writer writes (for the sanitizers).
TEST(Archive, ReadsWhileWriting)
{
  TempDir dir;
  Archive a(dir.file("a.sqlite"));
  const auto recs = randomRecords(t0, 6 * 3600, 5);
  std::atomic<bool> done{ false };
  std::vector<std::thread> readers;
  std::atomic<std::size_t> reads{ 0 };
  for (int i = 0; i < 3; ++i)
    readers.emplace_back([&, i] {
      while (!done) {
        const Series s = a.housekeeping(i % 2, t0, t0 + 6 * 3600, 100);
        EXPECT_LE(s.temperature.size(), 100u);
        a.latest(i % 2);
        a.log(0, 1e12, 10);
        ++reads;
      }
    });
  writeAll(a, recs, 6);
  // On a loaded machine the writer may be through before any reader
  // finished a pass: let them finish one (bounded) before they stop.
  tmx::test::eventually([&] { return reads.load() > 0; });
  done = true;
  for (auto &t : readers)
    t.join();
  EXPECT_GT(reads.load(), 0u);
  EXPECT_EQ(a.records(0, 1e12, std::nullopt).size(), recs.size());
}

namespace {

// An archive of version 2 as createSql() of that version made it, with one
// record of each kind.
const char *const v2Archive = R"(
PRAGMA journal_mode = WAL;
CREATE TABLE housekeeping(
  housing INTEGER NOT NULL,
  reading_time INTEGER NOT NULL,
  seq INTEGER NOT NULL DEFAULT 0,
  temperature REAL,
  humidity REAL,
  water INTEGER NOT NULL,
  arrival_time REAL NOT NULL,
  PRIMARY KEY(housing, reading_time, seq)) WITHOUT ROWID;
CREATE TABLE messages(
  id INTEGER PRIMARY KEY,
  arrival_time REAL NOT NULL,
  kind INTEGER NOT NULL,
  priority INTEGER,
  sent_time INTEGER,
  text TEXT NOT NULL);
CREATE INDEX messages_time ON messages(arrival_time);
CREATE TABLE summary(
  resolution INTEGER NOT NULL,
  housing INTEGER NOT NULL,
  bucket INTEGER NOT NULL,
  t_count INTEGER NOT NULL,
  t_sum REAL NOT NULL,
  t_min REAL,
  t_max REAL,
  h_count INTEGER NOT NULL,
  h_sum REAL NOT NULL,
  h_min REAL,
  h_max REAL,
  wet INTEGER NOT NULL,
  PRIMARY KEY(resolution, housing, bucket)) WITHOUT ROWID;
INSERT INTO housekeeping VALUES(0, 1796724000, 0, 21.5, NULL, 1, 1796724000.5);
INSERT INTO summary VALUES(60, 0, 1796724000, 1, 21.5, 21.5, 21.5, 0, 0, NULL, NULL, 1);
INSERT INTO messages VALUES(1, 1796724001.0, 0, 2, 1796720401, 'ALARM TEXT');
PRAGMA application_id = 1414355016;
PRAGMA user_version = 2;)";

// Every field, so that a difference shows in the failure message.
std::string show(const Episode &e)
{
  std::ostringstream o;
  o.precision(17);
  auto opt = [&o](const auto &v) -> std::ostream & { return v ? o << *v : o << "-"; };
  auto action = [&o](const OperatorAction &a) {
    o << a.by << '|' << a.address << '|' << a.at << '|' << a.comment;
  };
  o << e.id << ' ';
  opt(e.housing) << ' ' << e.kind << ' ' << e.source << ' ' << e.severity << ' ' << e.text << ' ' << e.opened
                 << ' ' << e.lastTrip << ' ' << e.trips << ' ';
  opt(e.peakValue) << ' ';
  opt(e.peakAt) << ' ';
  opt(e.cleared) << ' ' << e.clearedWhy << ' ' << e.latching << " ack ";
  if (e.acknowledged)
    action(*e.acknowledged);
  o << " shelf ";
  if (e.shelved) {
    action(e.shelved->action);
    o << " until " << e.shelved->until;
  }
  return o.str();
}

std::string show(const AuditEntry &a)
{
  std::ostringstream o;
  o.precision(17);
  o << a.episode << ' ' << a.action << ' ' << a.by.by << '|' << a.by.address << '|' << a.by.at << '|'
    << a.by.comment << ' ' << (a.until ? std::to_string(*a.until) : "-");
  return o.str();
}

template<class T>
std::vector<std::string> shown(const std::vector<T> &items)
{
  std::vector<std::string> out;
  for (const auto &i : items)
    out.push_back(show(i));
  return out;
}

// An episode of kind, opened and cleared (or not) at the given times.
Episode episodeOf(std::int64_t id,
                  const char *kind,
                  double opened,
                  std::optional<double> cleared,
                  bool latching)
{
  Episode e;
  e.id = id;
  e.housing = 1;
  e.kind = kind;
  e.severity = "warning";
  e.text = "text " + std::to_string(id);
  e.opened = e.lastTrip = opened;
  e.cleared = cleared;
  e.clearedWhy = cleared ? "cleared" : "";
  e.latching = latching;
  return e;
}

std::vector<std::int64_t> idsOf(const std::vector<Episode> &episodes)
{
  std::vector<std::int64_t> ids;
  for (const auto &e : episodes)
    ids.push_back(e.id);
  return ids;
}

} // namespace

TEST(Alarms, OlderArchivesAreReadAsTheyAreAndUpgradedWithTheirRecordsUntouched)
{
  const HousekeepingRecord first{ 0, 1796724000, 21.5, std::nullopt, true, 1796724000.5 };
  for (const auto &[version, ddl] : { std::pair{ 1, v1Archive }, std::pair{ 2, v2Archive } }) {
    SCOPED_TRACE(version);
    TempDir dir;
    const std::string path = dir.file("old.sqlite");
    sql(path, ddl);
    const std::string before = readFile(path);
    {
      OpenOptions ro;
      ro.readOnly = true;
      Archive reader(path, ro);
      EXPECT_EQ(reader.records(0, 4e9, std::nullopt), std::vector<HousekeepingRecord>{ first });
      EXPECT_TRUE(reader.currentEpisodes().empty());
      EXPECT_TRUE(reader.episodes(0, 4e9, false, 10).empty());
      EXPECT_EQ(reader.lastEpisodeId(), 0);
      EXPECT_EQ(reader.stats().episodes.count, 0u);
      EXPECT_EQ(reader.stats().messages.count, 1u);
    }
    EXPECT_EQ(readFile(path), before); // a reader writes nothing
    EXPECT_EQ(sqlNumber(path, "PRAGMA user_version"), version);
    {
      Archive writer(path);
      EXPECT_EQ(writer.records(0, 4e9, std::nullopt), std::vector<HousekeepingRecord>{ first });
      EXPECT_EQ(writer.log(0, 4e9, 10).size(), 1u);
      writer.saveAlarms({ episodeOf(7, "water", 1796724000.5, std::nullopt, true) },
                        { { 7, "acknowledge", { "ann", "127.0.0.1", 1796724002.0, "seen" }, std::nullopt } });
    }
    EXPECT_EQ(sqlNumber(path, "PRAGMA user_version"), 3);
    EXPECT_EQ(sqlNumber(path, "SELECT count(*) FROM summary"), 1);
    Archive again(path); // and passes the integrity check
    EXPECT_EQ(again.lastEpisodeId(), 7);
    EXPECT_EQ(idsOf(again.currentEpisodes()), std::vector<std::int64_t>{ 7 });
    EXPECT_EQ(again.audit(7).size(), 1u);
    EXPECT_EQ(again.records(0, 4e9, std::nullopt), std::vector<HousekeepingRecord>{ first });
  }
}

TEST(Alarms, EpisodesAndTheAuditTrailComeBackAsSaved)
{
  TempDir dir;
  const std::string path = dir.file("a.sqlite");
  Episode full = episodeOf(1, "temperature-high", 1796724000.25, 1796725000.5, true);
  full.housing = 0;
  full.source = "TMX-E1";
  full.severity = "critical";
  full.trips = 12;
  full.lastTrip = 1796724900.75;
  full.peakValue = 41.125;
  full.peakAt = 1796724500.0;
  full.acknowledged = OperatorAction{ "ann", "127.0.0.1", 1796724100.5, "on it, \"really\"\n" };
  full.shelved = Shelving{ { "bob", "::1", 1796724200.0, "" }, 1796727800.0 };
  Episode bare = episodeOf(2, "log-write", 1796724000.0, std::nullopt, false);
  bare.housing = std::nullopt;
  const std::vector<AuditEntry> trail = {
    { 1, "acknowledge", { "ann", "127.0.0.1", 1796724100.5, "on it" }, std::nullopt },
    { 1, "shelve", { "bob", "::1", 1796724200.0, "" }, 1796727800.0 },
  };
  {
    Archive a(path);
    a.saveAlarms({ full, bare }, trail);
    bare.trips = 3; // saved again: replaced, not added
    a.saveAlarms({ bare }, { { 1, "unshelve", { "bob", "::1", 1796724300.0, "x" }, std::nullopt } });
    EXPECT_THROW(a.saveAlarms({ episodeOf(0, "water", 1, std::nullopt, false) }, {}), Error);
    EXPECT_THROW(a.saveAlarms({}, { { -1, "acknowledge", {}, std::nullopt } }), Error);
  }
  OpenOptions ro;
  ro.readOnly = true;
  Archive a(path, ro);
  ASSERT_TRUE(a.episode(1));
  EXPECT_EQ(show(*a.episode(1)), show(full));
  EXPECT_EQ(show(*a.episode(2)), show(bare));
  EXPECT_FALSE(a.episode(3));
  EXPECT_EQ(a.lastEpisodeId(), 2);
  EXPECT_EQ(a.stats().episodes.count, 2u);
  auto all = trail;
  all.push_back({ 1, "unshelve", { "bob", "::1", 1796724300.0, "x" }, std::nullopt });
  EXPECT_EQ(shown(a.audit(1)), shown(all));
  EXPECT_TRUE(a.audit(2).empty());
  EXPECT_EQ(shown(a.audit(1796724150.0, 1796724300.0)),
            shown(std::vector<AuditEntry>(all.begin() + 1, all.end())));
  EXPECT_THROW(a.saveAlarms({ bare }, {}), Error); // read-only
}

TEST(Alarms, WindowsCurrentEpisodesAndPruning)
{
  TempDir dir;
  const std::string path = dir.file("a.sqlite");
  Archive a(path);
  Episode acked = episodeOf(4, "water", 500, 600, true);
  acked.acknowledged = OperatorAction{ "ann", "127.0.0.1", 610, "" };
  a.saveAlarms({ episodeOf(1, "humidity-high", 100, 200, false),
                 episodeOf(2, "logger", 150, std::nullopt, false), // active
                 episodeOf(3, "condensation", 300, 400, true),     // latched
                 acked,
                 episodeOf(5, "other", 700, 800, false), // one-shot, not acknowledged
                 episodeOf(6, "port", 900, 950, false) },
               { { 4, "acknowledge", acked.acknowledged.value(), std::nullopt },
                 { 3, "shelve", { "bob", "::1", 420, "" }, 5000.0 } });

  using Ids = std::vector<std::int64_t>;
  EXPECT_EQ(idsOf(a.currentEpisodes()), (Ids{ 2, 3 }));
  const struct
  {
    double from, to;
    bool activeOnly;
    std::size_t limit;
    Ids ids;
  } windows[] = {
    { 0, 1000, false, 100, { 6, 5, 4, 3, 2, 1 } },
    { 250, 450, false, 100, { 3, 2 } },
    { 200, 200, false, 100, { 2, 1 } }, // both ends count
    { 0, 1000, true, 100, { 3, 2 } },
    { 960, 2000, false, 100, { 2 } }, // never cleared: without end
    { 0, 1000, false, 2, { 6, 5 } },
    { 0, 1000, false, 0, { 6 } }, // at least one
    { 0, 99, false, 100, {} },
    { 500, 400, false, 100, {} },
  };
  for (const auto &w : windows)
    EXPECT_EQ(idsOf(a.episodes(w.from, w.to, w.activeOnly, w.limit)), w.ids) << w.from << ".." << w.to;
  Ids overOneSnapshot;
  a.forEachEpisode(250, 650, [&](const Episode &e, const std::vector<AuditEntry> &trail) {
    overOneSnapshot.push_back(e.id);
    EXPECT_EQ(trail.size(), e.id == 2 ? 0u : 1u);
    return true;
  });
  EXPECT_EQ(overOneSnapshot, (Ids{ 2, 3, 4 })); // oldest first

  // Everything is older than the cut: what needs nothing more goes in
  // steps of one row, its trail with it (a one-shot one not acknowledged
  // too: the retention is the site's choice); the current ones and the
  // highest id stay.
  std::size_t steps = 0;
  while (a.prune(1e6, 1) > 0)
    ASSERT_LT(++steps, 10u);
  EXPECT_EQ(steps, 4u); // episodes 1, 4 and 5, and 4's audit row
  EXPECT_EQ(idsOf(a.episodes(0, 1e6, false, 100)), (Ids{ 6, 3, 2 }));
  EXPECT_TRUE(a.audit(4).empty());
  EXPECT_EQ(a.audit(3).size(), 1u);
  EXPECT_EQ(a.lastEpisodeId(), 6);
}
