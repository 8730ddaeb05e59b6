// One SQLite connection of the archive with the statements it has
// prepared, and the conversions between the archive's rows and its types.
// Failures come out as SQLite::Exception; the archive turns them into its
// own errors with describe().
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

#include "archive/Archive.h"
#include "archive/Summary.h"

namespace tmx::archive {

// The primary result code of a failure (SQLITE_FULL, SQLITE_CORRUPT, ...).
int primaryCode(const SQLite::Exception &e);

// One line for a failure of SQLite while doing `what` on the archive at
// path; a damaged file says so.
std::string describe(const std::string &path, const std::string &what, const SQLite::Exception &e);

// Used by one thread at a time.
struct Connection
{
  SQLite::Database db;
  // Declared after db: every statement is finalized before db closes.
  std::map<const char *, std::unique_ptr<SQLite::Statement>> statements;

  // flags: SQLite::OPEN_READONLY or OPEN_READWRITE | OPEN_CREATE.
  // immutable (read-only only): the file is read without locks and without
  // the -wal and -shm files beside it, which are never made; only for a
  // file that nobody writes.
  Connection(const std::string &path, int flags, bool immutable = false);

  // The statement for sql (a string constant: its address is the key),
  // prepared at the first call, reset and with its bindings cleared.
  SQLite::Statement &statement(const char *sql);

  // Ends every read of this connection: no statement keeps a snapshot and
  // no transaction stays open while it is idle.
  void idle() noexcept;
};

// NULL for nullopt.
void bindOptional(SQLite::Statement &s, int i, const std::optional<double> &v);
std::optional<double> columnOptional(const SQLite::Statement &s, int i);

// A row of housing, reading_time, temperature, humidity, water,
// arrival_time.
HousekeepingRecord rowRecord(const SQLite::Statement &s);

// One quantity of a summary row from its count, sum, min and max columns,
// the first of them at `column`.
summary::Quantity rowQuantity(const SQLite::Statement &s, int column);

} // namespace tmx::archive
