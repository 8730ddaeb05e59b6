#include "archive/Connection.h"

#include <cmath>

#include <sqlite3.h>

namespace tmx::archive {

namespace {

// How long a connection waits for a lock another one holds.
constexpr int busyTimeoutMs = 5000;

} // namespace

int primaryCode(const SQLite::Exception &e)
{
  return e.getErrorCode() & 0xff;
}

std::string describe(const std::string &path, const std::string &what, const SQLite::Exception &e)
{
  const int rc = primaryCode(e);
  if (rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB)
    return "archive " + path + " is damaged (" + e.what() + ")";
  return "archive " + path + ": " + what + ": " + e.what();
}

namespace {

// "file:PATH?immutable=1", the characters a URI gives a meaning escaped.
std::string immutableUri(const std::string &path)
{
  static const char hex[] = "0123456789ABCDEF";
  std::string uri = "file:";
  for (unsigned char c : path) {
    if (c == '%' || c == '?' || c == '#' || c < 0x21 || c > 0x7e) {
      uri += '%';
      uri += hex[c >> 4];
      uri += hex[c & 0xf];
    } else {
      uri += static_cast<char>(c);
    }
  }
  return uri + "?immutable=1";
}

} // namespace

Connection::Connection(const std::string &path, int flags, bool immutable)
  : db(immutable ? immutableUri(path) : path,
       flags | SQLite::OPEN_NOMUTEX | (immutable ? SQLite::OPEN_URI : 0),
       busyTimeoutMs)
{
}

SQLite::Statement &Connection::statement(const char *sql)
{
  auto it = statements.find(sql);
  if (it == statements.end())
    it = statements.emplace(sql, std::make_unique<SQLite::Statement>(db, sql)).first;
  SQLite::Statement &s = *it->second;
  s.tryReset(); // a failure of its last run has been reported then
  s.clearBindings();
  return s;
}

void Connection::idle() noexcept
{
  for (auto &entry : statements)
    entry.second->tryReset();
  if (!sqlite3_get_autocommit(db.getHandle()))
    db.tryExec("ROLLBACK");
}

void bindOptional(SQLite::Statement &s, int i, const std::optional<double> &v)
{
  if (v)
    s.bind(i, *v);
  else
    s.bind(i);
}

std::optional<double> columnOptional(const SQLite::Statement &s, int i)
{
  if (s.isColumnNull(i))
    return std::nullopt;
  return s.getColumn(i).getDouble();
}

HousekeepingRecord rowRecord(const SQLite::Statement &s)
{
  HousekeepingRecord r;
  r.housing = s.getColumn(0).getInt();
  r.readingTime = s.getColumn(1).getInt64();
  r.temperature = columnOptional(s, 2);
  r.humidity = columnOptional(s, 3);
  r.water = s.getColumn(4).getInt() != 0;
  r.arrivalTime = s.getColumn(5).getDouble();
  return r;
}

summary::Quantity rowQuantity(const SQLite::Statement &s, int column)
{
  summary::Quantity q;
  q.count = s.getColumn(column).getInt64();
  q.sum = s.getColumn(column + 1).getDouble();
  q.min = columnOptional(s, column + 2).value_or(HUGE_VAL);
  q.max = columnOptional(s, column + 3).value_or(-HUGE_VAL);
  return q;
}

} // namespace tmx::archive
