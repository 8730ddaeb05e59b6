#include "archive/Schema.h"

#include <string>

namespace tmx::archive::schema {

namespace {

// The housekeeping table of the current version, named name. Its key's
// columns come first, in the key's order: SQLite 3.40's integrity check
// misreads the NOT NULL columns of a table without rowid otherwise.
std::string housekeepingTable(const char *name)
{
  return std::string("CREATE TABLE ") + name + R"((
  housing INTEGER NOT NULL,
  reading_time INTEGER NOT NULL,
  seq INTEGER NOT NULL DEFAULT 0,
  temperature REAL,
  humidity REAL,
  water INTEGER NOT NULL,
  arrival_time REAL NOT NULL,
  PRIMARY KEY(housing, reading_time, seq)) WITHOUT ROWID;
)";
}

// The tables version 3 added. Rowid tables: the key comes first anyway.
const char *const alarmTables = R"(
CREATE TABLE episodes(
  id INTEGER PRIMARY KEY,
  housing INTEGER,
  kind TEXT NOT NULL,
  source TEXT NOT NULL,
  severity TEXT NOT NULL,
  text TEXT NOT NULL,
  opened REAL NOT NULL,
  last_trip REAL NOT NULL,
  trips INTEGER NOT NULL,
  peak_value REAL,
  peak_at REAL,
  cleared REAL,
  cleared_why TEXT NOT NULL,
  latching INTEGER NOT NULL,
  ack_operator TEXT,
  ack_address TEXT,
  ack_at REAL,
  ack_comment TEXT,
  shelf_operator TEXT,
  shelf_address TEXT,
  shelf_at REAL,
  shelf_comment TEXT,
  shelf_until REAL);
CREATE INDEX episodes_opened ON episodes(opened);
CREATE INDEX episodes_cleared ON episodes(cleared);
CREATE TABLE audit(
  id INTEGER PRIMARY KEY,
  episode INTEGER NOT NULL,
  action TEXT NOT NULL,
  operator TEXT NOT NULL,
  address TEXT NOT NULL,
  at REAL NOT NULL,
  comment TEXT NOT NULL,
  until REAL);
CREATE INDEX audit_episode ON audit(episode, at);
CREATE INDEX audit_time ON audit(at);
)";

} // namespace

std::string createSql()
{
  return housekeepingTable("housekeeping") + alarmTables + R"(
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
}

std::string upgradeSql(int from)
{
  std::string sql;
  if (from < 2)
    sql += housekeepingTable("housekeeping_2") + R"(
INSERT INTO housekeeping_2(housing, reading_time, temperature, humidity, water, arrival_time, seq)
  SELECT housing, reading_time, temperature, humidity, water, arrival_time, 0 FROM housekeeping;
DROP TABLE housekeeping;
ALTER TABLE housekeeping_2 RENAME TO housekeeping;
)";
  if (from < 3)
    sql += alarmTables;
  return sql;
}

const char *const countTablesSql = "SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name IN "
                                   "('housekeeping', 'messages', 'summary', 'episodes', 'audit')";

} // namespace tmx::archive::schema
