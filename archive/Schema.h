// The archive's file format: the tables, the application id that marks a
// file as a tmx-web archive and the schema version this program writes and
// reads. Changing any of it changes the format: a new schema version.
#pragma once

#include <string>

namespace tmx::archive::schema {

// PRAGMA application_id of a tmx-web archive ("TMXH").
constexpr int applicationId = 0x544D5848;
// PRAGMA user_version: set when the tables have been created (a file with
// 0 was never completed); a file with a higher one is refused.
//   1  one housekeeping row per housing and reading time;
//   2  also a record whose housing and reading time are stored already with
//      other values (a monitor whose clock stepped back), numbered by seq;
//   3  also alarm episodes and the audit trail of what operators did.
// Every version from 1 is read as it is; a writer upgrades an older file
// in place (upgradeSql, one transaction).
constexpr int version = 3;

// The CREATE statements of a new archive (one script).
//  housekeeping: one row per housing, reading time and seq (0, and 1, 2,
//    ... for further records of that reading time with other values);
//    temperature and humidity NULL when the monitor could not read them.
//  messages: messages (kind 0, with priority and sent time) and console
//    lines (kind 1), by arrival time.
//  summary: per resolution, housing and bucket start: count, sum, min and
//    max of each quantity over the readings with a value, and whether any
//    reading was wet.
//  episodes: one row per alarm episode (archive/Episode.h) by id; the
//    acknowledgement's and the shelving's columns all NULL when there is
//    none.
//  audit: one row per acknowledgement, shelving and unshelving, by its own
//    id, indexed by episode and by time.
std::string createSql();

// Turns a file of version `from` (1 or 2) into the current version (run in
// a transaction, with user_version set after it).
std::string upgradeSql(int from);

// SELECT giving one row with the number of the archive's tables present;
// a complete archive of a version has tableCount(version) of them.
extern const char *const countTablesSql;
constexpr int tableCount(int version)
{
  return version >= 3 ? 5 : 3;
}

} // namespace tmx::archive::schema
