#include "archive/Impl.h"
#include "archive/Summary.h"
#include "archive/TimeText.h"

#include <sys/stat.h>

#include <algorithm>

namespace tmx::archive {

namespace {

const char *const insertHousekeepingSql = "INSERT OR IGNORE INTO housekeeping(housing, reading_time, "
                                          "temperature, humidity, water, arrival_time, seq) "
                                          "VALUES(?1, ?2, ?3, ?4, ?5, ?6, 0)";
// A record whose housing and reading time are stored already: the same
// values stored under that key (an exact repeat) ...
const char *const countSameSql =
  "SELECT count(*) FROM housekeeping WHERE housing = ?1 AND reading_time = ?2 AND "
  "temperature IS ?3 AND humidity IS ?4 AND water = ?5";
// ... or other values, stored as the next seq of the key.
const char *const insertNextSql =
  "INSERT INTO housekeeping(housing, reading_time, temperature, humidity, water, arrival_time, seq) "
  "SELECT ?1, ?2, ?3, ?4, ?5, ?6, max(seq) + 1 FROM housekeeping WHERE housing = ?1 AND reading_time = ?2";
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

namespace {

// Stores r, whose housing and reading time are taken, under the next seq
// of that key; false (nothing stored) when the key holds r's values.
bool storeUnderTakenKey(Connection &w, const HousekeepingRecord &r)
{
  const auto bindRecord = [&r](SQLite::Statement &s) {
    s.bind(1, r.housing);
    s.bind(2, r.readingTime);
    bindOptional(s, 3, reading(r.temperature));
    bindOptional(s, 4, reading(r.humidity));
    s.bind(5, r.water ? 1 : 0);
  };
  SQLite::Statement &same = w.statement(countSameSql);
  bindRecord(same);
  same.executeStep();
  const bool repeat = same.getColumn(0).getInt64() > 0;
  same.reset();
  if (repeat)
    return false;
  SQLite::Statement &next = w.statement(insertNextSql);
  bindRecord(next);
  next.bind(6, r.arrivalTime);
  next.exec();
  return true;
}

} // namespace

WriteCounts Archive::write(const Batch &batch)
{
  WriteCounts counts;
  impl_->inWriteTransaction("cannot store the batch", [&](Connection &w) {
    counts = WriteCounts();
    // The batch's contribution to each bucket, merged into the stored
    // buckets with one statement per bucket.
    summary::Buckets buckets;
    SQLite::Statement &s = w.statement(insertHousekeepingSql);
    for (const auto &r : batch.housekeeping) {
      if (r.housing < 0 || r.housing >= housingCount)
        continue;
      s.reset();
      s.bind(1, r.housing);
      s.bind(2, r.readingTime);
      bindOptional(s, 3, reading(r.temperature));
      bindOptional(s, 4, reading(r.humidity));
      s.bind(5, r.water ? 1 : 0);
      s.bind(6, r.arrivalTime);
      if (s.exec() == 0 && !storeUnderTakenKey(w, r)) {
        ++counts.repeated;
        continue;
      }
      ++counts.housekeeping;
      summary::addRecord(buckets, r);
    }

    SQLite::Statement &m = w.statement(insertMessageSql);
    for (const auto &msg : batch.messages) {
      if (msg.priority < 0 || msg.priority > 2)
        continue;
      m.reset();
      m.bind(1, msg.arrivalTime);
      m.bind(2, 0);
      m.bind(3, msg.priority);
      m.bind(4, msg.sentTime);
      m.bindNoCopy(5, msg.text);
      m.exec();
      ++counts.messages;
    }
    m.clearBindings(); // console lines have no priority nor sent time
    for (const auto &c : batch.console) {
      m.reset();
      m.bind(1, c.arrivalTime);
      m.bind(2, 1);
      m.bindNoCopy(5, c.text);
      m.exec();
      ++counts.console;
    }

    SQLite::Statement &u = w.statement(upsertSummarySql);
    for (const auto &[key, b] : buckets) {
      u.reset();
      u.bind(1, key.resolution);
      u.bind(2, key.housing);
      u.bind(3, key.start);
      u.bind(4, b.temperature.count);
      u.bind(5, b.temperature.sum);
      bindOptional(u, 6, b.temperature.lowest());
      bindOptional(u, 7, b.temperature.highest());
      u.bind(8, b.humidity.count);
      u.bind(9, b.humidity.sum);
      bindOptional(u, 10, b.humidity.lowest());
      bindOptional(u, 11, b.humidity.highest());
      u.bind(12, b.wet ? 1 : 0);
      u.exec();
    }
  });
  return counts;
}

std::size_t Archive::prune(double before, std::size_t maxRows)
{
  std::size_t deleted = 0;
  impl_->inWriteTransaction("cannot delete old records", [&](Connection &w) {
    deleted = 0;
    auto left = [&] { return static_cast<std::int64_t>(maxRows > deleted ? maxRows - deleted : 0); };
    for (int h = 0; h < housingCount && left() > 0; ++h) {
      SQLite::Statement &s = w.statement(pruneHousekeepingSql);
      s.bind(1, h);
      s.bind(2, before);
      s.bind(3, left());
      deleted += static_cast<std::size_t>(s.exec());
    }
    if (left() > 0) {
      SQLite::Statement &s = w.statement(pruneMessagesSql);
      s.bind(1, before);
      s.bind(2, left());
      deleted += static_cast<std::size_t>(s.exec());
    }
    for (int res : summaryResolutions)
      for (int h = 0; h < housingCount && left() > 0; ++h) {
        SQLite::Statement &s = w.statement(pruneSummarySql);
        s.bind(1, res);
        s.bind(2, h);
        s.bind(3, before);
        s.bind(4, left());
        deleted += static_cast<std::size_t>(s.exec());
      }
    if (left() > 0)
      deleted += pruneEpisodes(w, before, left());
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
  impl_->read([&](Connection &c) {
    c.db.exec("BEGIN"); // the count and the rows from one snapshot

    SQLite::Statement &count = c.statement(countRawSql);
    count.bind(1, housing);
    count.bind(2, from);
    count.bind(3, to);
    count.bind(4, static_cast<std::int64_t>(points) + 1);
    const std::int64_t raw = count.executeStep() ? count.getColumn(0).getInt64() : 0;

    if (raw <= static_cast<std::int64_t>(points)) {
      SQLite::Statement &s = c.statement(selectRawSql);
      s.bind(1, housing);
      s.bind(2, from);
      s.bind(3, to);
      summary::RawMerger merger(series);
      while (s.executeStep())
        merger.add(rowRecord(s));
      merger.finish();
      return;
    }

    const summary::Plan plan = summary::choose(from, to, points);
    SQLite::Statement &s = c.statement(selectSummarySql);
    s.bind(1, plan.resolution);
    s.bind(2, housing);
    s.bind(3, plan.first);
    s.bind(4, plan.last);
    summary::BucketMerger merger(plan, from, to, series);
    while (s.executeStep()) {
      summary::Bucket b;
      b.temperature = rowQuantity(s, 1);
      b.humidity = rowQuantity(s, 5);
      b.wet = s.getColumn(9).getInt() != 0;
      merger.add(s.getColumn(0).getInt64(), b);
    }
    merger.finish();
  });
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
  return impl_->read([&](Connection &c) {
    // One read transaction: both housings' rows from one snapshot.
    c.db.exec("BEGIN");
    // Housings have separate ranges of the primary key: read each in time
    // order and merge.
    std::vector<int> housings;
    if (housing)
      housings.push_back(*housing);
    else
      for (int h = 0; h < housingCount; ++h)
        housings.push_back(h);
    std::vector<std::unique_ptr<SQLite::Statement>> cursors;
    std::vector<std::optional<HousekeepingRecord>> heads;
    for (int h : housings) {
      auto s = std::make_unique<SQLite::Statement>(c.db, selectRawSql);
      s->bind(1, h);
      s->bind(2, from);
      s->bind(3, to);
      heads.push_back(s->executeStep() ? std::optional<HousekeepingRecord>(rowRecord(*s)) : std::nullopt);
      cursors.push_back(std::move(s));
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
      SQLite::Statement &s = *cursors[next];
      heads[next] = s.executeStep() ? std::optional<HousekeepingRecord>(rowRecord(s)) : std::nullopt;
    }
    return delivered;
  });
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
  impl_->read([&](Connection &c) {
    SQLite::Statement &s = c.statement(selectLogSql);
    s.bind(1, from);
    s.bind(2, to);
    s.bind(3, static_cast<std::int64_t>(limit));
    while (s.executeStep()) {
      LogEntry e;
      e.time = s.getColumn(0).getDouble();
      e.kind = s.getColumn(1).getInt() == 0 ? LogEntry::Kind::message : LogEntry::Kind::console;
      if (e.kind == LogEntry::Kind::message) {
        e.priority = s.getColumn(2).getInt();
        e.sentTime = s.getColumn(3).getInt64();
      }
      e.text = s.getColumn(4).getString();
      out.push_back(std::move(e));
    }
  });
  return out;
}

std::optional<HousekeepingRecord> Archive::latest(int housing) const
{
  return impl_->read([&](Connection &c) -> std::optional<HousekeepingRecord> {
    SQLite::Statement &s = c.statement(selectLatestSql);
    s.bind(1, housing);
    if (!s.executeStep())
      return std::nullopt;
    return rowRecord(s);
  });
}

Stats Archive::stats() const
{
  Stats st;
  impl_->read([&](Connection &c) {
    c.db.exec("BEGIN");
    SQLite::Statement &count = c.statement(countHousekeepingSql);
    if (count.executeStep())
      st.housekeeping.count = static_cast<std::uint64_t>(count.getColumn(0).getInt64());
    // Column `column` of the one row `sql` gives for housing h, if any.
    auto timeOf = [&](const char *sql, int h, int column) -> std::optional<double> {
      SQLite::Statement &q = c.statement(sql);
      q.bind(1, h);
      if (!q.executeStep())
        return std::nullopt;
      return q.getColumn(column).getDouble();
    };
    for (int h = 0; h < housingCount; ++h) {
      if (const auto t = timeOf(selectFirstSql, h, 0))
        st.housekeeping.first = st.housekeeping.first ? std::min(*st.housekeeping.first, *t) : *t;
      if (const auto t = timeOf(selectLatestSql, h, 1))
        st.housekeeping.last = st.housekeeping.last ? std::max(*st.housekeeping.last, *t) : *t;
    }
    SQLite::Statement &s = c.statement(messageStatsSql);
    while (s.executeStep()) {
      KindStats &k = s.getColumn(0).getInt() == 0 ? st.messages : st.console;
      k.count = static_cast<std::uint64_t>(s.getColumn(1).getInt64());
      k.first = s.getColumn(2).getDouble();
      k.last = s.getColumn(3).getDouble();
    }
    if (impl_->fileVersion >= 3)
      st.episodes = episodeStats(c);
  });
  st.fileBytes = fileBytes();
  return st;
}

std::uint64_t Archive::fileBytes() const
{
  return sizeOf(impl_->path) + sizeOf(impl_->path + "-wal");
}

} // namespace tmx::archive
