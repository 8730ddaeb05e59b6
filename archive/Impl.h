// The inside of Archive, shared by the sources that open it (Open.cpp) and
// that write and read it (Archive.cpp).
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <SQLiteCpp/Transaction.h>
#include <sqlite3.h>

#include "archive/Archive.h"
#include "archive/Connection.h"
#include "archive/Schema.h"

namespace tmx::archive {

// Idle reading connections kept for the next call.
constexpr std::size_t readerPoolSize = 4;

struct Archive::Impl
{
  std::string path;
  OpenOptions options;
  // The schema version of the file as found (schema::version when new).
  int fileVersion = schema::version;
  // Readers open the file immutable: an archive opened for reading only
  // that was closed cleanly, which nobody writes then (a writer keeps its
  // -wal file). A reading connection would otherwise make -wal and -shm
  // files beside it and leave them, and could not read it at all where the
  // folder cannot be written. A writer that opens it meanwhile may make a
  // long read fail (read as damaged), never change the file.
  bool immutable = false;

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
        conn_ = std::make_unique<Connection>(impl.path, SQLite::OPEN_READONLY, impl.immutable);
    }
    ~Reader()
    {
      conn_->idle();
      std::lock_guard<std::mutex> lock(impl_.poolMutex);
      if (impl_.idle.size() < readerPoolSize)
        impl_.idle.push_back(std::move(conn_));
    }
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;
    Connection &operator*() { return *conn_; }

  private:
    Impl &impl_;
    std::unique_ptr<Connection> conn_;
  };

  void checkExisting();
  void checkWritable() const;
  void openWriter(bool fresh);

  // Runs body(connection) on a reading connection; SQLite's failures come
  // out as Error.
  template<class Body>
  auto read(Body &&body)
  {
    try {
      Reader reader(*this);
      return body(*reader);
    } catch (const SQLite::Exception &e) {
      throw Error(describe(path, "cannot read", e));
    }
  }

  // Runs body(writer) in one write transaction under the write lock and
  // commits it. Any exception rolls the transaction back (SQLite's failures
  // come out as WriteError, others as they are), so the next write finds
  // the archive as it was. synced: the commit is synced to disk (otherwise
  // only the checkpoints are), for what a power cut must not take.
  template<class Body>
  void inWriteTransaction(const char *what, Body &&body, bool synced = false)
  {
    if (!writer)
      throw Error("archive " + path + " is open for reading only");
    std::lock_guard<std::mutex> lock(writeMutex);
    const char *step = "cannot begin a transaction";
    try {
      const SyncedCommits syncedCommits(writer->db, synced);
      SQLite::Transaction transaction(writer->db, SQLite::TransactionBehavior::IMMEDIATE);
      step = what;
      body(*writer);
      step = "cannot commit";
      transaction.commit();
    } catch (const SQLite::Exception &e) {
      throw WriteError(describe(path, step, e), primaryCode(e) == SQLITE_FULL);
    }
  }

private:
  // synchronous = FULL for its lifetime (when on), NORMAL again after.
  class SyncedCommits
  {
  public:
    SyncedCommits(SQLite::Database &db, bool on)
      : db_(on ? &db : nullptr)
    {
      if (db_)
        db_->exec("PRAGMA synchronous = FULL");
    }
    ~SyncedCommits()
    {
      if (db_)
        db_->tryExec("PRAGMA synchronous = NORMAL");
    }
    SyncedCommits(const SyncedCommits &) = delete;
    SyncedCommits &operator=(const SyncedCommits &) = delete;

  private:
    SQLite::Database *db_;
  };
};

// The episodes' part of prune() (Alarms.cpp): deletes up to maxRows rows
// of episodes and audit entries that may go; returns how many it deleted.
std::size_t pruneEpisodes(Connection &w, double before, std::int64_t maxRows);
// The episodes' part of stats().
KindStats episodeStats(Connection &c);

} // namespace tmx::archive
