#include "archive/Archive.h"
#include "archive/TimeText.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <tuple>

#include <sqlite3.h>

namespace tmx::archive {

namespace {

// PRAGMA application_id of a tmx-web archive ("TMXH") and the schema
// version this program writes and reads.
constexpr int applicationId = 0x544D5848;
constexpr int schemaVersion = 1;
// Idle reading connections kept for the next call.
constexpr std::size_t readerPoolSize = 4;

const char *const schemaSql = R"(
CREATE TABLE housekeeping(
  housing INTEGER NOT NULL,
  reading_time INTEGER NOT NULL,
  temperature REAL,
  humidity REAL,
  water INTEGER NOT NULL,
  arrival_time REAL NOT NULL,
  PRIMARY KEY(housing, reading_time)) WITHOUT ROWID;
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
)";

const char *const insertHousekeepingSql = "INSERT OR IGNORE INTO housekeeping VALUES(?1, ?2, ?3, ?4, ?5, ?6)";
const char *const insertMessageSql =
  "INSERT INTO messages(arrival_time, kind, priority, sent_time, text) VALUES(?1, ?2, ?3, ?4, ?5)";
// Merges one batch's part of a bucket into the bucket; SQLite's min()/max()
// of a NULL are NULL, hence the coalesce.
const char *const upsertSummarySql = R"(
INSERT INTO summary VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)
ON CONFLICT(resolution, housing, bucket) DO UPDATE SET
  t_count = t_count + excluded.t_count, t_sum = t_sum + excluded.t_sum,
  t_min = coalesce(min(t_min, excluded.t_min), t_min, excluded.t_min),
  t_max = coalesce(max(t_max, excluded.t_max), t_max, excluded.t_max),
  h_count = h_count + excluded.h_count, h_sum = h_sum + excluded.h_sum,
  h_min = coalesce(min(h_min, excluded.h_min), h_min, excluded.h_min),
  h_max = coalesce(max(h_max, excluded.h_max), h_max, excluded.h_max),
  wet = max(wet, excluded.wet))";
const char *const pruneHousekeepingSql = R"(
DELETE FROM housekeeping WHERE housing = ?1 AND reading_time IN
  (SELECT reading_time FROM housekeeping WHERE housing = ?1 AND reading_time < ?2
   ORDER BY reading_time LIMIT ?3))";
const char *const pruneMessagesSql = R"(
DELETE FROM messages WHERE id IN
  (SELECT id FROM messages WHERE arrival_time < ?1 ORDER BY arrival_time LIMIT ?2))";
const char *const pruneSummarySql = R"(
DELETE FROM summary WHERE resolution = ?1 AND housing = ?2 AND bucket IN
  (SELECT bucket FROM summary WHERE resolution = ?1 AND housing = ?2 AND bucket + ?1 <= ?3
   ORDER BY bucket LIMIT ?4))";
const char *const countRawSql = R"(
SELECT count(*) FROM (SELECT 1 FROM housekeeping
  WHERE housing = ?1 AND reading_time >= ?2 AND reading_time <= ?3 LIMIT ?4))";
const char *const selectRawSql = R"(
SELECT housing, reading_time, temperature, humidity, water, arrival_time FROM housekeeping
  WHERE housing = ?1 AND reading_time >= ?2 AND reading_time <= ?3 ORDER BY reading_time)";
const char *const selectSummarySql = R"(
SELECT bucket, t_count, t_sum, t_min, t_max, h_count, h_sum, h_min, h_max, wet FROM summary
  WHERE resolution = ?1 AND housing = ?2 AND bucket >= ?3 AND bucket <= ?4 ORDER BY bucket)";
const char *const selectLogSql = R"(
SELECT arrival_time, kind, priority, sent_time, text FROM messages
  WHERE arrival_time >= ?1 AND arrival_time <= ?2 ORDER BY arrival_time DESC, id DESC LIMIT ?3)";
const char *const selectLatestSql = R"(
SELECT housing, reading_time, temperature, humidity, water, arrival_time FROM housekeeping
  WHERE housing = ?1 ORDER BY reading_time DESC LIMIT 1)";
const char *const selectFirstSql =
  "SELECT reading_time FROM housekeeping WHERE housing = ?1 ORDER BY reading_time LIMIT 1";
const char *const countHousekeepingSql = "SELECT count(*) FROM housekeeping";
const char *const messageStatsSql =
  "SELECT kind, count(*), min(arrival_time), max(arrival_time) FROM messages GROUP BY kind";

std::int64_t floorDiv(std::int64_t a, std::int64_t b)
{
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0)))
    --q;
  return q;
}

struct StmtDeleter
{
  void operator()(sqlite3_stmt *s) const { sqlite3_finalize(s); }
};
using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtDeleter>;

// One connection with its prepared statements (prepared once, reused).
// Used by one thread at a time.
struct Connection
{
  sqlite3 *db = nullptr;
  std::string path;
  std::map<const char *, StmtPtr> statements;

  Connection(const std::string &p, int flags)
    : path(p)
  {
    const int rc = sqlite3_open_v2(p.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
      std::string why = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
      sqlite3_close(db);
      db = nullptr;
      throw Error("archive " + p + ": cannot open: " + why);
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, 5000);
  }
  ~Connection()
  {
    statements.clear();
    sqlite3_close(db);
  }
  Connection(const Connection &) = delete;
  Connection &operator=(const Connection &) = delete;

  [[noreturn]] void fail(int rc, const std::string &what) const
  {
    const std::string msg = "archive " + path + ": " + what + ": " + sqlite3_errmsg(db);
    const int primary = rc & 0xff;
    if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB)
      throw Error("archive " + path + " is damaged (" + sqlite3_errmsg(db) + ")");
    throw Error(msg);
  }

  void exec(const char *sql)
  {
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
      fail(rc, std::string("cannot run ") + sql);
  }

  // The statement for sql (a string constant: its address is the key),
  // reset and with its bindings cleared.
  sqlite3_stmt *statement(const char *sql)
  {
    auto it = statements.find(sql);
    if (it == statements.end()) {
      sqlite3_stmt *s = nullptr;
      const int rc = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr);
      if (rc != SQLITE_OK)
        fail(rc, "cannot prepare a statement");
      it = statements.emplace(sql, StmtPtr(s)).first;
    }
    sqlite3_reset(it->second.get());
    sqlite3_clear_bindings(it->second.get());
    return it->second.get();
  }

  // Steps s once; true for a row, false when done; throws otherwise.
  bool step(sqlite3_stmt *s)
  {
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW)
      return true;
    if (rc == SQLITE_DONE)
      return false;
    sqlite3_reset(s);
    fail(rc, "query failed");
  }

  std::int64_t intPragma(const char *name)
  {
    sqlite3_stmt *s = nullptr;
    const std::string sql = std::string("PRAGMA ") + name;
    int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr);
    StmtPtr guard(s);
    if (rc == SQLITE_OK) {
      rc = sqlite3_step(s);
      if (rc == SQLITE_ROW)
        return sqlite3_column_int64(s, 0);
    }
    fail(rc, sql);
  }
};

// Resets a statement when leaving a scope (ends its read).
struct Done
{
  sqlite3_stmt *s;
  ~Done() { sqlite3_reset(s); }
};

void bindOptional(sqlite3_stmt *s, int i, const std::optional<double> &v)
{
  if (v)
    sqlite3_bind_double(s, i, *v);
  else
    sqlite3_bind_null(s, i);
}

std::optional<double> columnOptional(sqlite3_stmt *s, int i)
{
  if (sqlite3_column_type(s, i) == SQLITE_NULL)
    return std::nullopt;
  return sqlite3_column_double(s, i);
}

HousekeepingRecord rowRecord(sqlite3_stmt *s)
{
  HousekeepingRecord r;
  r.housing = sqlite3_column_int(s, 0);
  r.readingTime = sqlite3_column_int64(s, 1);
  r.temperature = columnOptional(s, 2);
  r.humidity = columnOptional(s, 3);
  r.water = sqlite3_column_int(s, 4) != 0;
  r.arrivalTime = sqlite3_column_double(s, 5);
  return r;
}

// Running summary of one quantity; min and max mean something only when
// count > 0.
struct Quantity
{
  std::int64_t count = 0;
  double sum = 0;
  double min = HUGE_VAL, max = -HUGE_VAL;

  void add(const std::optional<double> &v)
  {
    if (!v)
      return;
    ++count;
    sum += *v;
    min = std::min(min, *v);
    max = std::max(max, *v);
  }
  void merge(std::int64_t c, double s, const std::optional<double> &lo, const std::optional<double> &hi)
  {
    if (c == 0)
      return;
    count += c;
    sum += s;
    min = std::min(min, lo.value_or(HUGE_VAL));
    max = std::max(max, hi.value_or(-HUGE_VAL));
  }
  std::optional<double> lowest() const { return count > 0 ? std::optional<double>(min) : std::nullopt; }
  std::optional<double> highest() const { return count > 0 ? std::optional<double>(max) : std::nullopt; }
  SeriesPoint point(double t) const
  {
    SeriesPoint p;
    p.t = t;
    if (count > 0) {
      p.min = min;
      p.max = max;
      p.mean = sum / static_cast<double>(count);
    }
    return p;
  }
};

struct BucketSummary
{
  Quantity temperature, humidity;
  bool wet = false;
};

std::uint64_t sizeOf(const std::string &path)
{
  struct stat st
  {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

} // namespace

void Batch::clear()
{
  housekeeping.clear();
  messages.clear();
  console.clear();
}

struct Archive::Impl
{
  std::string path;
  OpenOptions options;

  std::mutex writeMutex;
  std::unique_ptr<Connection> writer; // null when read-only

  std::mutex poolMutex;
  std::vector<std::unique_ptr<Connection>> idle;

  // A reading connection for the length of one call.
  class Reader
  {
  public:
    explicit Reader(Impl &impl)
      : impl_(impl)
    {
      {
        std::lock_guard<std::mutex> lock(impl.poolMutex);
        if (!impl.idle.empty()) {
          conn_ = std::move(impl.idle.back());
          impl.idle.pop_back();
        }
      }
      if (!conn_)
        conn_ = std::make_unique<Connection>(impl.path, SQLITE_OPEN_READONLY);
    }
    ~Reader()
    {
      if (!sqlite3_get_autocommit(conn_->db))
        sqlite3_exec(conn_->db, "ROLLBACK", nullptr, nullptr, nullptr);
      std::lock_guard<std::mutex> lock(impl_.poolMutex);
      if (impl_.idle.size() < readerPoolSize)
        impl_.idle.push_back(std::move(conn_));
    }
    Connection *operator->() { return conn_.get(); }

  private:
    Impl &impl_;
    std::unique_ptr<Connection> conn_;
  };

  void checkExisting();
  void create();
  [[noreturn]] void writeFailed(int rc, const std::string &what);
  void rollback();

  // Runs body(writer) in one write transaction under the write lock and
  // commits it; a failure rolls it back and comes out as WriteError.
  template<class Body>
  void inWriteTransaction(Body &&body)
  {
    if (!writer)
      throw Error("archive " + path + " is open for reading only");
    std::lock_guard<std::mutex> lock(writeMutex);
    Connection &w = *writer;
    int rc = sqlite3_exec(w.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
      writeFailed(rc, "cannot begin a transaction");
    try {
      body(w);
      if ((rc = sqlite3_exec(w.db, "COMMIT", nullptr, nullptr, nullptr)) != SQLITE_OK)
        writeFailed(rc, "cannot commit");
    } catch (const WriteError &) {
      throw;
    } catch (const Error &e) {
      rollback();
      throw WriteError(e.what(), false);
    }
  }
};

// Looks at an existing file through a read-only connection, so that a file
// that is refused is never written to (not even a checkpoint at close).
void Archive::Impl::checkExisting()
{
  Connection probe(path, SQLITE_OPEN_READONLY);
  auto refuse = [this](const std::string &why) {
    throw RefusedError("archive " + path + " refused: " + why);
  };
  std::int64_t app = 0, version = 0;
  try {
    app = probe.intPragma("application_id");
    version = probe.intPragma("user_version");
  } catch (const Error &e) {
    const int rc = sqlite3_extended_errcode(probe.db) & 0xff;
    if (rc == SQLITE_NOTADB)
      refuse("not an SQLite database");
    if (rc == SQLITE_CORRUPT)
      refuse("the file is damaged");
    refuse(e.what());
  }
  if (app != applicationId)
    refuse("an SQLite database but not a tmx-web archive");
  if (version > schemaVersion)
    refuse("schema version " + std::to_string(version) + " is newer than this program's (" +
           std::to_string(schemaVersion) + ")");
  if (version < 1)
    refuse("the archive was never completed (schema version " + std::to_string(version) + ")");
  try {
    sqlite3_stmt *s = probe.statement("SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name IN "
                                      "('housekeeping', 'messages', 'summary')");
    Done done{ s };
    if (!probe.step(s) || sqlite3_column_int(s, 0) != 3)
      refuse("tables are missing");
    if (options.checkIntegrity) {
      sqlite3_stmt *q = probe.statement("PRAGMA quick_check(1)");
      Done qd{ q };
      if (!probe.step(q))
        refuse("the integrity check gave no answer");
      const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(q, 0));
      if (!text || std::string(text) != "ok")
        refuse(std::string("the file is damaged (") + (text ? text : "") + ")");
    }
  } catch (const RefusedError &) {
    throw;
  } catch (const Error &) {
    refuse("the file is damaged");
  }
}

void Archive::Impl::create()
{
  writer->exec("BEGIN IMMEDIATE");
  try {
    if (writer->intPragma("application_id") != 0 || writer->intPragma("user_version") != 0)
      throw RefusedError("archive " + path + " refused: the file was created by someone else meanwhile");
    writer->exec(schemaSql);
    writer->exec(("PRAGMA application_id = " + std::to_string(applicationId)).c_str());
    writer->exec(("PRAGMA user_version = " + std::to_string(schemaVersion)).c_str());
    writer->exec("COMMIT");
  } catch (...) {
    rollback();
    throw;
  }
}

void Archive::Impl::rollback()
{
  if (writer && !sqlite3_get_autocommit(writer->db))
    sqlite3_exec(writer->db, "ROLLBACK", nullptr, nullptr, nullptr);
}

void Archive::Impl::writeFailed(int rc, const std::string &what)
{
  const std::string msg = "archive " + path + ": " + what + ": " + sqlite3_errmsg(writer->db);
  rollback();
  throw WriteError(msg, (rc & 0xff) == SQLITE_FULL);
}

Archive::Archive(const std::string &path, const OpenOptions &options)
  : impl_(std::make_unique<Impl>())
{
  impl_->path = path;
  impl_->options = options;
  struct stat st
  {};
  const bool exists = ::stat(path.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode))
    throw RefusedError("archive " + path + " refused: not a regular file");
  const bool fresh = !exists || st.st_size == 0;
  if (options.readOnly && !exists)
    throw RefusedError("archive " + path + " refused: no such file");
  if (options.readOnly && fresh)
    throw RefusedError("archive " + path + " refused: the file is empty");
  if (!fresh)
    impl_->checkExisting();
  if (options.readOnly)
    return;
  impl_->writer = std::make_unique<Connection>(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  Connection &w = *impl_->writer;
  // WAL: readers never block the writer nor each other. NORMAL: a commit is
  // not synced by itself (a power cut may lose the last commits, a crash of
  // the program none); the checkpoints are.
  w.exec("PRAGMA journal_mode = WAL");
  w.exec("PRAGMA synchronous = NORMAL");
  // Checkpoints (which sync) after 32 MB of log rather than 4 MB: a backlog
  // written in many small transactions then costs a few syncs, not dozens.
  w.exec("PRAGMA wal_autocheckpoint = 8192");
  w.exec("PRAGMA journal_size_limit = 67108864");
  if (fresh)
    impl_->create();
}

Archive::~Archive()
{
  impl_->idle.clear();
  impl_->writer.reset();
}

const std::string &Archive::path() const
{
  return impl_->path;
}

WriteCounts Archive::write(const Batch &batch)
{
  WriteCounts counts;
  impl_->inWriteTransaction([&](Connection &w) {
    int rc = SQLITE_OK;
    // The batch's contribution to each bucket, merged into the stored
    // buckets with one statement per bucket.
    std::map<std::tuple<int, int, std::int64_t>, BucketSummary> buckets;
    sqlite3_stmt *s = w.statement(insertHousekeepingSql);
    for (const auto &r : batch.housekeeping) {
      if (r.housing < 0 || r.housing >= housingCount)
        continue;
      const auto t = reading(r.temperature), h = reading(r.humidity);
      sqlite3_reset(s);
      sqlite3_bind_int(s, 1, r.housing);
      sqlite3_bind_int64(s, 2, r.readingTime);
      bindOptional(s, 3, t);
      bindOptional(s, 4, h);
      sqlite3_bind_int(s, 5, r.water ? 1 : 0);
      sqlite3_bind_double(s, 6, r.arrivalTime);
      if ((rc = sqlite3_step(s)) != SQLITE_DONE)
        impl_->writeFailed(rc, "cannot store a housekeeping record");
      if (sqlite3_changes(w.db) == 0)
        continue; // already stored
      ++counts.housekeeping;
      for (int res : summaryResolutions) {
        auto &b = buckets[{ res, r.housing, floorDiv(r.readingTime, res) * res }];
        b.temperature.add(t);
        b.humidity.add(h);
        b.wet = b.wet || r.water;
      }
    }
    sqlite3_reset(s);

    s = w.statement(insertMessageSql);
    for (const auto &m : batch.messages) {
      if (m.priority < 0 || m.priority > 2)
        continue;
      sqlite3_reset(s);
      sqlite3_bind_double(s, 1, m.arrivalTime);
      sqlite3_bind_int(s, 2, 0);
      sqlite3_bind_int(s, 3, m.priority);
      sqlite3_bind_int64(s, 4, m.sentTime);
      sqlite3_bind_text(s, 5, m.text.data(), static_cast<int>(m.text.size()), SQLITE_STATIC);
      if ((rc = sqlite3_step(s)) != SQLITE_DONE)
        impl_->writeFailed(rc, "cannot store a message");
      ++counts.messages;
    }
    for (const auto &c : batch.console) {
      sqlite3_reset(s);
      sqlite3_clear_bindings(s);
      sqlite3_bind_double(s, 1, c.arrivalTime);
      sqlite3_bind_int(s, 2, 1);
      sqlite3_bind_text(s, 5, c.text.data(), static_cast<int>(c.text.size()), SQLITE_STATIC);
      if ((rc = sqlite3_step(s)) != SQLITE_DONE)
        impl_->writeFailed(rc, "cannot store a console line");
      ++counts.console;
    }
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);

    s = w.statement(upsertSummarySql);
    for (const auto &[key, b] : buckets) {
      sqlite3_reset(s);
      sqlite3_bind_int(s, 1, std::get<0>(key));
      sqlite3_bind_int(s, 2, std::get<1>(key));
      sqlite3_bind_int64(s, 3, std::get<2>(key));
      sqlite3_bind_int64(s, 4, b.temperature.count);
      sqlite3_bind_double(s, 5, b.temperature.sum);
      bindOptional(s, 6, b.temperature.lowest());
      bindOptional(s, 7, b.temperature.highest());
      sqlite3_bind_int64(s, 8, b.humidity.count);
      sqlite3_bind_double(s, 9, b.humidity.sum);
      bindOptional(s, 10, b.humidity.lowest());
      bindOptional(s, 11, b.humidity.highest());
      sqlite3_bind_int(s, 12, b.wet ? 1 : 0);
      if ((rc = sqlite3_step(s)) != SQLITE_DONE)
        impl_->writeFailed(rc, "cannot update the summaries");
    }
    sqlite3_reset(s);
  });
  return counts;
}

std::size_t Archive::prune(double before, std::size_t maxRows)
{
  std::size_t deleted = 0;
  impl_->inWriteTransaction([&](Connection &w) {
    auto left = [&] { return static_cast<sqlite3_int64>(maxRows > deleted ? maxRows - deleted : 0); };
    auto run = [&](sqlite3_stmt *s) {
      if (const int rc = sqlite3_step(s); rc != SQLITE_DONE)
        impl_->writeFailed(rc, "cannot delete old records");
      deleted += static_cast<std::size_t>(sqlite3_changes(w.db));
      sqlite3_reset(s);
    };
    for (int h = 0; h < housingCount && left() > 0; ++h) {
      sqlite3_stmt *s = w.statement(pruneHousekeepingSql);
      sqlite3_bind_int(s, 1, h);
      sqlite3_bind_double(s, 2, before);
      sqlite3_bind_int64(s, 3, left());
      run(s);
    }
    if (left() > 0) {
      sqlite3_stmt *s = w.statement(pruneMessagesSql);
      sqlite3_bind_double(s, 1, before);
      sqlite3_bind_int64(s, 2, left());
      run(s);
    }
    for (int res : summaryResolutions)
      for (int h = 0; h < housingCount && left() > 0; ++h) {
        sqlite3_stmt *s = w.statement(pruneSummarySql);
        sqlite3_bind_int(s, 1, res);
        sqlite3_bind_int(s, 2, h);
        sqlite3_bind_double(s, 3, before);
        sqlite3_bind_int64(s, 4, left());
        run(s);
      }
  });
  return deleted;
}

Series Archive::housekeeping(int housing, double from, double to, unsigned points) const
{
  points = std::clamp(points, minPoints, maxPoints);
  Series series;
  series.housing = housing;
  series.from = from;
  series.to = to;
  if (housing < 0 || housing >= housingCount || !(from <= to))
    return series;
  // Any window, however wide, stays within what bucket numbers can count.
  from = std::clamp(from, 0.0, lastSecond);
  to = std::clamp(to, 0.0, lastSecond);
  Impl::Reader c(*impl_);
  c->exec("BEGIN");

  sqlite3_stmt *s = c->statement(countRawSql);
  sqlite3_bind_int(s, 1, housing);
  sqlite3_bind_double(s, 2, from);
  sqlite3_bind_double(s, 3, to);
  sqlite3_bind_int64(s, 4, static_cast<sqlite3_int64>(points) + 1);
  std::int64_t raw = 0;
  {
    Done done{ s };
    if (c->step(s))
      raw = sqlite3_column_int64(s, 0);
  }

  if (raw <= static_cast<std::int64_t>(points)) {
    s = c->statement(selectRawSql);
    sqlite3_bind_int(s, 1, housing);
    sqlite3_bind_double(s, 2, from);
    sqlite3_bind_double(s, 3, to);
    Done done{ s };
    bool inRun = false;
    double runStart = 0, lastWet = 0;
    while (c->step(s)) {
      const HousekeepingRecord r = rowRecord(s);
      const double t = static_cast<double>(r.readingTime);
      series.temperature.push_back({ t, r.temperature, r.temperature, r.temperature });
      series.humidity.push_back({ t, r.humidity, r.humidity, r.humidity });
      if (r.water) {
        if (!inRun)
          runStart = t;
        inRun = true;
        lastWet = t;
      } else if (inRun) {
        series.wet.emplace_back(runStart, t);
        inRun = false;
      }
    }
    if (inRun)
      series.wet.emplace_back(runStart, lastWet);
    return series;
  }

  // Buckets that overlap the window, at the coarsest resolution that has
  // enough of them.
  const auto firstBucket = [&](int res) {
    return floorDiv(static_cast<std::int64_t>(std::floor(from)), res);
  };
  const auto lastBucket = [&](int res) { return floorDiv(static_cast<std::int64_t>(std::floor(to)), res); };
  int res = summaryResolutions[0];
  for (auto it = std::rbegin(summaryResolutions); it != std::rend(summaryResolutions); ++it)
    if (lastBucket(*it) - firstBucket(*it) + 1 >= static_cast<std::int64_t>(points)) {
      res = *it;
      break;
    }
  const std::int64_t count = lastBucket(res) - firstBucket(res) + 1;
  // k buckets per point, groups aligned to multiples of k * res: at most
  // ceil(count / k) + 1 <= points groups.
  const std::int64_t k = count > points ? (count + points - 2) / (points - 1) : 1;
  const std::int64_t width = k * res;
  series.resolution = res;

  s = c->statement(selectSummarySql);
  sqlite3_bind_int(s, 1, res);
  sqlite3_bind_int(s, 2, housing);
  sqlite3_bind_int64(s, 3, firstBucket(res) * res);
  sqlite3_bind_int64(s, 4, lastBucket(res) * res);
  Done done{ s };
  std::optional<std::int64_t> group;
  Quantity temperature, humidity;
  auto flush = [&] {
    if (!group)
      return;
    series.temperature.push_back(temperature.point(static_cast<double>(*group)));
    series.humidity.push_back(humidity.point(static_cast<double>(*group)));
    temperature = Quantity();
    humidity = Quantity();
  };
  while (c->step(s)) {
    const std::int64_t bucket = sqlite3_column_int64(s, 0);
    const std::int64_t g = floorDiv(bucket, width) * width;
    if (group != g) {
      flush();
      group = g;
    }
    temperature.merge(
      sqlite3_column_int64(s, 1), sqlite3_column_double(s, 2), columnOptional(s, 3), columnOptional(s, 4));
    humidity.merge(
      sqlite3_column_int64(s, 5), sqlite3_column_double(s, 6), columnOptional(s, 7), columnOptional(s, 8));
    if (sqlite3_column_int(s, 9) != 0) {
      const double a = std::max(static_cast<double>(bucket), from);
      const double b = std::min(static_cast<double>(bucket + res), to);
      if (!series.wet.empty() && series.wet.back().second >= static_cast<double>(bucket))
        series.wet.back().second = b;
      else
        series.wet.emplace_back(a, b);
    }
  }
  flush();
  return series;
}

std::size_t Archive::forEachRecord(double from,
                                   double to,
                                   std::optional<int> housing,
                                   const std::function<bool(const HousekeepingRecord &)> &fn,
                                   std::size_t maxRows,
                                   bool *truncated) const
{
  if (truncated)
    *truncated = false;
  if (!(from <= to) || (housing && (*housing < 0 || *housing >= housingCount)))
    return 0;
  Impl::Reader c(*impl_);
  // One read transaction: both housings' rows from one snapshot.
  c->exec("BEGIN");
  // Housings have separate ranges of the primary key: read each in time
  // order and merge.
  std::vector<int> housings;
  if (housing)
    housings.push_back(*housing);
  else
    for (int h = 0; h < housingCount; ++h)
      housings.push_back(h);
  std::vector<StmtPtr> cursors;
  std::vector<std::optional<HousekeepingRecord>> heads;
  for (int h : housings) {
    sqlite3_stmt *s = nullptr;
    const int rc = sqlite3_prepare_v2(c->db, selectRawSql, -1, &s, nullptr);
    StmtPtr p(s);
    if (rc != SQLITE_OK)
      c->fail(rc, "cannot prepare a statement");
    sqlite3_bind_int(s, 1, h);
    sqlite3_bind_double(s, 2, from);
    sqlite3_bind_double(s, 3, to);
    heads.push_back(c->step(s) ? std::optional<HousekeepingRecord>(rowRecord(s)) : std::nullopt);
    cursors.push_back(std::move(p));
  }
  std::size_t delivered = 0;
  for (;;) {
    std::size_t next = heads.size();
    for (std::size_t i = 0; i < heads.size(); ++i)
      if (heads[i] && (next == heads.size() || heads[i]->readingTime < heads[next]->readingTime))
        next = i;
    if (next == heads.size())
      break;
    if (delivered == maxRows) {
      if (truncated)
        *truncated = true;
      break;
    }
    ++delivered;
    if (!fn(*heads[next]))
      break;
    sqlite3_stmt *s = cursors[next].get();
    heads[next] = c->step(s) ? std::optional<HousekeepingRecord>(rowRecord(s)) : std::nullopt;
  }
  return delivered;
}

std::vector<HousekeepingRecord> Archive::records(double from,
                                                 double to,
                                                 std::optional<int> housing,
                                                 std::size_t maxRows) const
{
  std::vector<HousekeepingRecord> out;
  forEachRecord(
    from,
    to,
    housing,
    [&out](const HousekeepingRecord &r) {
      out.push_back(r);
      return true;
    },
    maxRows);
  return out;
}

std::vector<LogEntry> Archive::log(double from, double to, std::size_t limit) const
{
  limit = std::clamp<std::size_t>(limit, 1, maxLogEntries);
  std::vector<LogEntry> out;
  if (!(from <= to))
    return out;
  Impl::Reader c(*impl_);
  sqlite3_stmt *s = c->statement(selectLogSql);
  sqlite3_bind_double(s, 1, from);
  sqlite3_bind_double(s, 2, to);
  sqlite3_bind_int64(s, 3, static_cast<sqlite3_int64>(limit));
  Done done{ s };
  while (c->step(s)) {
    LogEntry e;
    e.time = sqlite3_column_double(s, 0);
    e.kind = sqlite3_column_int(s, 1) == 0 ? LogEntry::Kind::message : LogEntry::Kind::console;
    if (e.kind == LogEntry::Kind::message) {
      e.priority = sqlite3_column_int(s, 2);
      e.sentTime = sqlite3_column_int64(s, 3);
    }
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(s, 4));
    e.text.assign(text ? text : "", static_cast<std::size_t>(sqlite3_column_bytes(s, 4)));
    out.push_back(std::move(e));
  }
  return out;
}

std::optional<HousekeepingRecord> Archive::latest(int housing) const
{
  Impl::Reader c(*impl_);
  sqlite3_stmt *s = c->statement(selectLatestSql);
  sqlite3_bind_int(s, 1, housing);
  Done done{ s };
  if (!c->step(s))
    return std::nullopt;
  return rowRecord(s);
}

Stats Archive::stats() const
{
  Stats st;
  {
    Impl::Reader c(*impl_);
    c->exec("BEGIN");
    sqlite3_stmt *s = c->statement(countHousekeepingSql);
    {
      Done done{ s };
      if (c->step(s))
        st.housekeeping.count = static_cast<std::uint64_t>(sqlite3_column_int64(s, 0));
    }
    // Column `column` of the one row `sql` gives for housing h, if any.
    auto timeOf = [&](const char *sql, int h, int column) -> std::optional<double> {
      sqlite3_stmt *q = c->statement(sql);
      sqlite3_bind_int(q, 1, h);
      Done done{ q };
      if (!c->step(q))
        return std::nullopt;
      return sqlite3_column_double(q, column);
    };
    for (int h = 0; h < housingCount; ++h) {
      if (const auto t = timeOf(selectFirstSql, h, 0))
        st.housekeeping.first = st.housekeeping.first ? std::min(*st.housekeeping.first, *t) : *t;
      if (const auto t = timeOf(selectLatestSql, h, 1))
        st.housekeeping.last = st.housekeeping.last ? std::max(*st.housekeeping.last, *t) : *t;
    }
    s = c->statement(messageStatsSql);
    Done done{ s };
    while (c->step(s)) {
      KindStats &k = sqlite3_column_int(s, 0) == 0 ? st.messages : st.console;
      k.count = static_cast<std::uint64_t>(sqlite3_column_int64(s, 1));
      k.first = sqlite3_column_double(s, 2);
      k.last = sqlite3_column_double(s, 3);
    }
  }
  st.fileBytes = fileBytes();
  return st;
}

std::uint64_t Archive::fileBytes() const
{
  return sizeOf(impl_->path) + sizeOf(impl_->path + "-wal");
}

} // namespace tmx::archive
