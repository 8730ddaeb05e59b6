// history_bench: the archive of tmx-web with 30 days of both housings at
// 5 s (1,036,800 records).
//  1. ingest through Archive::write in batches of --batch records (default
//     1000, one transaction each), against a bare SQLite loop inserting the
//     same rows into the same table with one prepared statement in one
//     transaction (same file settings: WAL, synchronous=NORMAL);
//  2. a 30-day window at 1000 points, against reading the window's raw rows
//     of that housing (median of 7 runs each, after one warm-up);
//  3. opening the archive (with its integrity check).
// With --year, then a one-year archive of both housings at 5 s (12,614,400
// records, written through Archive::write in batches of 100,000): its size
// on disk, opening it (with the integrity check), and the 30-day and the
// one-year window at 1000 points against reading their raw rows.
// usage: history_bench [--batch N] [--keep FILE] [--year]
//   --keep FILE keeps the generated 30-day archive (data ending now, with a
//   few messages and console lines) as FILE.
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "archive/Archive.h"

using namespace tmx::archive;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::time_point a, Clock::time_point b)
{
  return std::chrono::duration<double>(b - a).count();
}

// Both housings every 5 s in [from, to), appended to out; rng goes on from
// where the previous call left it.
void generate(std::int64_t from, std::int64_t to, std::mt19937 &rng, std::vector<HousekeepingRecord> &out)
{
  std::normal_distribution<double> noise(0, 0.05);
  std::uniform_int_distribution<int> pct(0, 9999);
  for (std::int64_t t = from; t < to; t += 5)
    for (int h = 0; h < 2; ++h) {
      const double day = std::sin(2 * M_PI * double(t % 86400) / 86400.0);
      HousekeepingRecord r;
      r.housing = h;
      r.readingTime = t;
      r.temperature = pct(rng) < 5 ? -1.0 : (h ? 18.0 : 24.0) + 2.0 * day + noise(rng);
      r.humidity = pct(rng) < 5 ? -1.0 : (h ? 45.0 : 35.0) - 5.0 * day + noise(rng);
      r.water = h == 1 && (t / 3600) % 240 == 7; // one wet hour every ten days
      r.arrivalTime = double(t) + 0.01 * double(pct(rng) % 100);
      out.push_back(r);
    }
}

std::vector<HousekeepingRecord> generate(std::int64_t from, std::int64_t to)
{
  std::mt19937 rng(42);
  std::vector<HousekeepingRecord> out;
  out.reserve(static_cast<std::size_t>((to - from) / 5 * 2));
  generate(from, to, rng, out);
  return out;
}

double bareInsert(const std::string &path,
                  const std::vector<HousekeepingRecord> &records,
                  std::size_t perTransaction)
{
  sqlite3 *db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db,
               "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;"
               "CREATE TABLE housekeeping(housing INTEGER NOT NULL, reading_time INTEGER NOT NULL,"
               " temperature REAL, humidity REAL, water INTEGER NOT NULL, arrival_time REAL NOT NULL,"
               " PRIMARY KEY(housing, reading_time)) WITHOUT ROWID;",
               nullptr,
               nullptr,
               nullptr);
  const auto start = Clock::now();
  sqlite3_stmt *s = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO housekeeping VALUES(?1, ?2, ?3, ?4, ?5, ?6)", -1, &s, nullptr);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  std::size_t n = 0;
  for (const auto &r : records) {
    sqlite3_reset(s);
    sqlite3_bind_int(s, 1, r.housing);
    sqlite3_bind_int64(s, 2, r.readingTime);
    if (*r.temperature == -1.0)
      sqlite3_bind_null(s, 3);
    else
      sqlite3_bind_double(s, 3, *r.temperature);
    if (*r.humidity == -1.0)
      sqlite3_bind_null(s, 4);
    else
      sqlite3_bind_double(s, 4, *r.humidity);
    sqlite3_bind_int(s, 5, r.water);
    sqlite3_bind_double(s, 6, r.arrivalTime);
    if (sqlite3_step(s) != SQLITE_DONE) {
      std::fprintf(stderr, "bare insert failed: %s\n", sqlite3_errmsg(db));
      std::exit(1);
    }
    if (perTransaction && ++n % perTransaction == 0) {
      sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
      sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    }
  }
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  const double t = seconds(start, Clock::now());
  sqlite3_finalize(s);
  sqlite3_close(db);
  return t;
}

// Reads every raw row of one housing in the window, as the summaries spare.
std::size_t rawRead(const std::string &path, std::int64_t from, std::int64_t to)
{
  sqlite3 *db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt *s = nullptr;
  sqlite3_prepare_v2(db,
                     "SELECT reading_time, temperature, humidity, water FROM housekeeping"
                     " WHERE housing = 0 AND reading_time >= ?1 AND reading_time <= ?2 ORDER BY reading_time",
                     -1,
                     &s,
                     nullptr);
  sqlite3_bind_int64(s, 1, from);
  sqlite3_bind_int64(s, 2, to);
  std::size_t n = 0;
  double sink = 0;
  while (sqlite3_step(s) == SQLITE_ROW) {
    sink += sqlite3_column_double(s, 1) + sqlite3_column_double(s, 2) + sqlite3_column_int(s, 3);
    ++n;
  }
  sqlite3_finalize(s);
  sqlite3_close(db);
  return sink == -1 ? 0 : n;
}

template<class F>
double median(F f, int runs = 7)
{
  f(); // warm-up
  std::vector<double> t;
  for (int i = 0; i < runs; ++i) {
    const auto a = Clock::now();
    f();
    t.push_back(seconds(a, Clock::now()));
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

// One window at 1000 points from the summaries against reading its raw
// rows, in one run.
void window(const Archive &a, const char *name, std::int64_t from, std::int64_t to, double goalMs)
{
  Series s;
  const double query = median([&] { s = a.housekeeping(0, double(from), double(to), 1000); });
  std::size_t rows = 0;
  const double raw = median([&] { rows = rawRead(a.path(), from, to); });
  std::printf("%s window, 1000 points: %.2f ms (resolution %d s, %zu points; goal < %.0f ms)\n",
              name,
              1000 * query,
              s.resolution,
              s.temperature.size(),
              goalMs);
  std::printf("reading its %zu raw rows: %.2f ms\n", rows, 1000 * raw);
  std::printf("query ratio (summary / raw): %.4f (goal <= 0.05)\n", query / raw);
}

// The one-year archive: built in batches of 100,000 records (generated as
// they are written, so that the year is never in memory at once).
void year(const std::string &dir)
{
  constexpr std::size_t batchSize = 100000;
  const std::string path = dir + "/year.sqlite";
  const std::int64_t to = (static_cast<std::int64_t>(std::time(nullptr)) / 5) * 5;
  const std::int64_t from = to - 365 * 86400;
  std::size_t written = 0;
  const auto start = Clock::now();
  {
    Archive a(path);
    std::mt19937 rng(43);
    Batch b;
    b.housekeeping.reserve(batchSize);
    for (std::int64_t t = from; t < to; t += batchSize / 2 * 5) {
      b.housekeeping.clear();
      generate(t, std::min<std::int64_t>(to, t + batchSize / 2 * 5), rng, b.housekeeping);
      written += a.write(b).housekeeping;
    }
  }
  const double ingest = seconds(start, Clock::now());
  std::printf("\none year: %zu records (2 housings, 5 s) written in %.1f s (%zu per transaction, %.0f "
              "records/s)\n",
              written,
              ingest,
              batchSize,
              double(written) / ingest);
  const auto openStart = Clock::now();
  Archive a(path);
  const double open = seconds(openStart, Clock::now());
  std::printf("size on disk: %.1f MB\n", double(a.fileBytes()) / 1e6);
  std::printf("open with integrity check: %.0f ms\n", 1000 * open);
  window(a, "30-day", to - 30 * 86400, to, 5);
  window(a, "one-year", from, to, 20);
}

} // namespace

int main(int argc, char **argv)
{
  std::size_t batchSize = 1000;
  std::string keep;
  bool withYear = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--batch") && i + 1 < argc)
      batchSize = std::max(1, std::atoi(argv[++i]));
    else if (!std::strcmp(argv[i], "--keep") && i + 1 < argc)
      keep = argv[++i];
    else if (!std::strcmp(argv[i], "--year"))
      withYear = true;
    else {
      std::fprintf(stderr, "usage: history_bench [--batch N] [--keep FILE] [--year]\n");
      return 2;
    }
  }
  char tmpl[] = "/tmp/history_bench.XXXXXX";
  const char *dirName = mkdtemp(tmpl);
  if (!dirName) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = dirName;
  const std::int64_t to = (static_cast<std::int64_t>(std::time(nullptr)) / 5) * 5;
  const std::int64_t from = to - 30 * 86400;
  const auto records = generate(from, to);
  std::printf("records: %zu (30 days, 2 housings, 5 s)\n", records.size());

  const double bare = bareInsert(dir + "/bare.sqlite", records, 0);
  const double bareBatched = bareInsert(dir + "/bare2.sqlite", records, batchSize);
  const std::string path = dir + "/archive.sqlite";
  double ingest = 0;
  {
    Archive a(path);
    const auto start = Clock::now();
    Batch b;
    for (std::size_t i = 0; i < records.size(); i += batchSize) {
      b.housekeeping.assign(records.begin() + i, records.begin() + std::min(records.size(), i + batchSize));
      a.write(b);
    }
    ingest = seconds(start, Clock::now());
    // Some messages and console lines for whoever keeps the file.
    Batch m;
    for (std::int64_t t = from; t < to; t += 6 * 3600) {
      m.messages.push_back(
        { int((t / 3600) % 3), "TEST MESSAGE AT " + std::to_string(t), t, double(t) + 0.5 });
      m.console.push_back({ "console line at " + std::to_string(t), double(t) + 1.0 });
    }
    a.write(m);
  }
  const double n = double(records.size());
  std::printf("ingest (Archive::write, %zu records per transaction): %.2f s, %.0f records/s\n",
              batchSize,
              ingest,
              n / ingest);
  std::printf("bare prepared insert, one transaction:              %.2f s, %.0f records/s\n", bare, n / bare);
  std::printf("bare prepared insert, %zu per transaction:            %.2f s, %.0f records/s\n",
              batchSize,
              bareBatched,
              n / bareBatched);
  std::printf("ingest ratio (archive rate / bare rate): %.2f (goal >= 0.7)\n", bare / ingest);

  const auto openStart = Clock::now();
  Archive a(path);
  std::printf("open with integrity check: %.0f ms (%.1f MB)\n",
              1000 * seconds(openStart, Clock::now()),
              double(a.fileBytes()) / 1e6);
  Series s;
  const double query = median([&] { s = a.housekeeping(0, double(from), double(to), 1000); });
  std::size_t rows = 0;
  const double raw = median([&] { rows = rawRead(path, from, to); });
  std::printf("30-day window, 1000 points: %.2f ms (resolution %d s, %zu points)\n",
              1000 * query,
              s.resolution,
              s.temperature.size());
  std::printf("reading its %zu raw rows:   %.2f ms\n", rows, 1000 * raw);
  std::printf("query ratio (summary / raw): %.3f (goal <= 0.05, absolute < 20 ms)\n", query / raw);

  std::error_code ec;
  if (!keep.empty()) {
    std::filesystem::copy_file(path, keep, std::filesystem::copy_options::overwrite_existing, ec);
    std::printf("%s: %s\n", ec ? "cannot keep the archive" : "archive kept as", keep.c_str());
  }
  if (withYear)
    year(dir);
  std::filesystem::remove_all(dir, ec);
  return 0;
}
