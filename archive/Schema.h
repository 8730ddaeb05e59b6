// The archive's file format: the tables, the application id that marks a
// file as a tmx-web archive and the schema version this program writes and
// reads. Changing any of it changes the format: a new schema version.
#pragma once

namespace tmx::archive::schema {

// PRAGMA application_id of a tmx-web archive ("TMXH").
constexpr int applicationId = 0x544D5848;
// PRAGMA user_version: set when the tables have been created (a file with
// 0 was never completed); a file with a higher one is refused.
constexpr int version = 1;

// The CREATE statements of a new archive (one script).
//  housekeeping: one row per housing and reading time; temperature and
//    humidity NULL when the monitor could not read them.
//  messages: messages (kind 0, with priority and sent time) and console
//    lines (kind 1), by arrival time.
//  summary: per resolution, housing and bucket start: count, sum, min and
//    max of each quantity over the readings with a value, and whether any
//    reading was wet.
extern const char *const createSql;

// SELECT giving one row with the number of the archive's tables present
// (3 in a complete archive).
extern const char *const countTablesSql;
constexpr int tableCount = 3;

} // namespace tmx::archive::schema
