#include "archive/Schema.h"

namespace tmx::archive::schema {

const char *const createSql = R"(
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

const char *const countTablesSql = "SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name IN "
                                   "('housekeeping', 'messages', 'summary')";

} // namespace tmx::archive::schema
