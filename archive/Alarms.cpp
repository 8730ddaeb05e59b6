// Alarm episodes and their audit trail in the archive (schema version 3).
#include "archive/Impl.h"

#include <algorithm>
#include <string>

namespace tmx::archive {

namespace {

// The statements are strings of this file that live as long as the
// program: Connection::statement() keys them by address.
const std::string episodeColumns =
  "id, housing, kind, source, severity, text, opened, last_trip, trips, peak_value, peak_at, cleared, "
  "cleared_why, latching, ack_operator, ack_address, ack_at, ack_comment, shelf_operator, shelf_address, "
  "shelf_at, shelf_comment, shelf_until";
const std::string auditColumns = "episode, action, operator, address, at, comment, until";
const std::string isCurrent =
  "(cleared IS NULL OR (latching <> 0 AND ack_at IS NULL) OR shelf_until IS NOT NULL)";

const std::string upsertEpisodeSql = "INSERT OR REPLACE INTO episodes(" + episodeColumns +
                                     ") VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, "
                                     "?14, ?15, ?16, ?17, ?18, ?19, ?20, ?21, ?22, ?23)";
const std::string insertAuditSql =
  "INSERT INTO audit(" + auditColumns + ") VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)";
const std::string selectCurrentSql =
  "SELECT " + episodeColumns + " FROM episodes WHERE " + isCurrent + " ORDER BY id DESC LIMIT ?1";
const std::string selectWindowSql =
  "SELECT " + episodeColumns +
  " FROM episodes WHERE opened <= ?2 AND (cleared IS NULL OR cleared >= ?1) "
  "AND (?3 = 0 OR " +
  isCurrent + ") ORDER BY opened DESC, id DESC LIMIT ?4";
const std::string selectAllInWindowSql =
  "SELECT " + episodeColumns +
  " FROM episodes WHERE opened <= ?2 AND (cleared IS NULL OR cleared >= "
  "?1) ORDER BY opened, id";
const std::string selectWholeAuditOfSql =
  "SELECT " + auditColumns + " FROM audit WHERE episode = ?1 ORDER BY at, id";
const std::string selectEpisodeSql = "SELECT " + episodeColumns + " FROM episodes WHERE id = ?1";
const std::string selectAuditOfSql =
  "SELECT " + auditColumns + " FROM audit WHERE episode = ?1 ORDER BY at, id LIMIT ?2";
const std::string selectAuditWindowSql =
  "SELECT " + auditColumns + " FROM audit WHERE at >= ?1 AND at <= ?2 ORDER BY at, id LIMIT ?3";
const char *const lastIdSql = "SELECT coalesce(max(id), 0) FROM episodes";
const char *const statsSql = "SELECT count(*), min(opened), max(opened) FROM episodes";

// An episode e that prune() may delete: cleared before ?1, needing nothing
// more (a latching or one-shot one acknowledged), and not the highest id,
// which keeps lastEpisodeId() from going back to an id given before.
const std::string isDone = "(e.cleared < ?1 AND (e.ack_at IS NOT NULL OR e.latching = 0) AND "
                           "e.shelf_until IS NULL AND e.id < (SELECT max(id) FROM episodes))";
// The audit rows of such episodes first (and any of an episode never
// stored, by their time), then the episodes left without audit rows, so
// that no audit row outlives its episode even when maxRows ends a step
// between the two.
const std::string pruneAuditSql =
  "DELETE FROM audit WHERE id IN (SELECT a.id FROM audit a LEFT JOIN episodes e "
  "ON e.id = a.episode WHERE (e.id IS NULL AND a.at < ?1) OR " +
  isDone + " ORDER BY a.id LIMIT ?2)";
const std::string pruneEpisodesSql = "DELETE FROM episodes WHERE id IN (SELECT id FROM episodes e WHERE " +
                                     isDone +
                                     " AND NOT EXISTS (SELECT 1 FROM audit WHERE episode = e.id) "
                                     "ORDER BY cleared LIMIT ?2)";

void bindText(SQLite::Statement &s, int i, const std::string &text)
{
  s.bindNoCopy(i, text);
}

// Binds by, address, at and comment of an action to i .. i + 3, all NULL
// when there is none.
void bindAction(SQLite::Statement &s, int i, const OperatorAction *a)
{
  if (!a) {
    for (int k = 0; k < 4; ++k)
      s.bind(i + k);
    return;
  }
  bindText(s, i, a->by);
  bindText(s, i + 1, a->address);
  s.bind(i + 2, a->at);
  bindText(s, i + 3, a->comment);
}

OperatorAction rowAction(const SQLite::Statement &s, int i)
{
  OperatorAction a;
  a.by = s.getColumn(i).getString();
  a.address = s.getColumn(i + 1).getString();
  a.at = s.getColumn(i + 2).getDouble();
  a.comment = s.getColumn(i + 3).getString();
  return a;
}

Episode rowEpisode(const SQLite::Statement &s)
{
  Episode e;
  e.id = s.getColumn(0).getInt64();
  if (!s.isColumnNull(1))
    e.housing = s.getColumn(1).getInt();
  e.kind = s.getColumn(2).getString();
  e.source = s.getColumn(3).getString();
  e.severity = s.getColumn(4).getString();
  e.text = s.getColumn(5).getString();
  e.opened = s.getColumn(6).getDouble();
  e.lastTrip = s.getColumn(7).getDouble();
  e.trips = s.getColumn(8).getInt64();
  e.peakValue = columnOptional(s, 9);
  e.peakAt = columnOptional(s, 10);
  e.cleared = columnOptional(s, 11);
  e.clearedWhy = s.getColumn(12).getString();
  e.latching = s.getColumn(13).getInt() != 0;
  if (!s.isColumnNull(16))
    e.acknowledged = rowAction(s, 14);
  if (!s.isColumnNull(20))
    e.shelved = Shelving{ rowAction(s, 18), s.getColumn(22).getDouble() };
  return e;
}

AuditEntry rowAudit(const SQLite::Statement &s)
{
  AuditEntry a;
  a.episode = s.getColumn(0).getInt64();
  a.action = s.getColumn(1).getString();
  a.by = rowAction(s, 2);
  a.until = columnOptional(s, 6);
  return a;
}

template<class Row, class Make>
std::vector<Row> collect(SQLite::Statement &s, Make make)
{
  std::vector<Row> out;
  while (s.executeStep())
    out.push_back(make(s));
  return out;
}

void checkIds(const std::vector<Episode> &episodes, const std::vector<AuditEntry> &audit)
{
  for (const auto &e : episodes) {
    if (e.id < 1)
      throw Error("episode id " + std::to_string(e.id) + " is not above 0");
    if (e.housing && (*e.housing < 0 || *e.housing >= housingCount))
      throw Error("episode " + std::to_string(e.id) + " has no such housing (" + std::to_string(*e.housing) +
                  ")");
  }
  for (const auto &a : audit)
    if (a.episode < 1)
      throw Error("an audit entry names episode " + std::to_string(a.episode));
}

} // namespace

void Archive::saveAlarms(const std::vector<Episode> &episodes,
                         const std::vector<AuditEntry> &audit,
                         bool synced)
{
  checkIds(episodes, audit);
  impl_->inWriteTransaction(
    "cannot store the alarms",
    [&](Connection &w) {
      SQLite::Statement &s = w.statement(upsertEpisodeSql.c_str());
      for (const auto &e : episodes) {
        s.reset();
        s.bind(1, e.id);
        if (e.housing)
          s.bind(2, *e.housing);
        else
          s.bind(2);
        bindText(s, 3, e.kind);
        bindText(s, 4, e.source);
        bindText(s, 5, e.severity);
        bindText(s, 6, e.text);
        s.bind(7, e.opened);
        s.bind(8, e.lastTrip);
        s.bind(9, e.trips);
        bindOptional(s, 10, e.peakValue);
        bindOptional(s, 11, e.peakAt);
        bindOptional(s, 12, e.cleared);
        bindText(s, 13, e.clearedWhy);
        s.bind(14, e.latching ? 1 : 0);
        bindAction(s, 15, e.acknowledged ? &*e.acknowledged : nullptr);
        bindAction(s, 19, e.shelved ? &e.shelved->action : nullptr);
        if (e.shelved)
          s.bind(23, e.shelved->until);
        else
          s.bind(23);
        s.exec();
      }
      SQLite::Statement &a = w.statement(insertAuditSql.c_str());
      for (const auto &entry : audit) {
        a.reset();
        a.bind(1, entry.episode);
        bindText(a, 2, entry.action);
        bindAction(a, 3, &entry.by);
        bindOptional(a, 7, entry.until);
        a.exec();
      }
    },
    synced);
}

std::vector<Episode> Archive::currentEpisodes() const
{
  if (impl_->fileVersion < 3)
    return {};
  auto out = impl_->read([&](Connection &c) {
    SQLite::Statement &s = c.statement(selectCurrentSql.c_str());
    s.bind(1, static_cast<std::int64_t>(maxEpisodes));
    return collect<Episode>(s, rowEpisode);
  });
  std::reverse(out.begin(), out.end());
  return out;
}

std::vector<Episode> Archive::episodes(double from, double to, bool activeOnly, std::size_t limit) const
{
  limit = std::clamp<std::size_t>(limit, 1, maxEpisodes);
  if (impl_->fileVersion < 3 || !(from <= to))
    return {};
  return impl_->read([&](Connection &c) {
    SQLite::Statement &s = c.statement(selectWindowSql.c_str());
    s.bind(1, from);
    s.bind(2, to);
    s.bind(3, activeOnly ? 1 : 0);
    s.bind(4, static_cast<std::int64_t>(limit));
    return collect<Episode>(s, rowEpisode);
  });
}

std::optional<Episode> Archive::episode(std::int64_t id) const
{
  if (impl_->fileVersion < 3)
    return std::nullopt;
  return impl_->read([&](Connection &c) -> std::optional<Episode> {
    SQLite::Statement &s = c.statement(selectEpisodeSql.c_str());
    s.bind(1, id);
    if (!s.executeStep())
      return std::nullopt;
    return rowEpisode(s);
  });
}

std::size_t Archive::forEachEpisode(
  double from,
  double to,
  const std::function<bool(const Episode &, const std::vector<AuditEntry> &)> &fn) const
{
  if (impl_->fileVersion < 3 || !(from <= to))
    return 0;
  return impl_->read([&](Connection &c) {
    c.db.exec("BEGIN"); // the episodes and their trails from one snapshot
    SQLite::Statement &s = c.statement(selectAllInWindowSql.c_str());
    s.bind(1, from);
    s.bind(2, to);
    std::size_t delivered = 0;
    while (s.executeStep()) {
      const Episode e = rowEpisode(s);
      SQLite::Statement &a = c.statement(selectWholeAuditOfSql.c_str());
      a.bind(1, e.id);
      const auto trail = collect<AuditEntry>(a, rowAudit);
      ++delivered;
      if (!fn(e, trail))
        break;
    }
    return delivered;
  });
}

std::vector<AuditEntry> Archive::audit(std::int64_t episode) const
{
  if (impl_->fileVersion < 3)
    return {};
  return impl_->read([&](Connection &c) {
    SQLite::Statement &s = c.statement(selectAuditOfSql.c_str());
    s.bind(1, episode);
    s.bind(2, static_cast<std::int64_t>(maxAuditEntries));
    return collect<AuditEntry>(s, rowAudit);
  });
}

std::vector<AuditEntry> Archive::audit(double from, double to) const
{
  if (impl_->fileVersion < 3 || !(from <= to))
    return {};
  return impl_->read([&](Connection &c) {
    SQLite::Statement &s = c.statement(selectAuditWindowSql.c_str());
    s.bind(1, from);
    s.bind(2, to);
    s.bind(3, static_cast<std::int64_t>(maxAuditEntries));
    return collect<AuditEntry>(s, rowAudit);
  });
}

std::int64_t Archive::lastEpisodeId() const
{
  if (impl_->fileVersion < 3)
    return 0;
  return impl_->read([&](Connection &c) { return c.db.execAndGet(lastIdSql).getInt64(); });
}

std::size_t pruneEpisodes(Connection &w, double before, std::int64_t maxRows)
{
  std::size_t deleted = 0;
  for (const std::string *sql : { &pruneAuditSql, &pruneEpisodesSql }) {
    const auto left = maxRows - static_cast<std::int64_t>(deleted);
    if (left <= 0)
      break;
    SQLite::Statement &s = w.statement(sql->c_str());
    s.bind(1, before);
    s.bind(2, left);
    deleted += static_cast<std::size_t>(s.exec());
  }
  return deleted;
}

KindStats episodeStats(Connection &c)
{
  KindStats k;
  SQLite::Statement &s = c.statement(statsSql);
  if (s.executeStep()) {
    k.count = static_cast<std::uint64_t>(s.getColumn(0).getInt64());
    k.first = columnOptional(s, 1);
    k.last = columnOptional(s, 2);
  }
  return k;
}

} // namespace tmx::archive
