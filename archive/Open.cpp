// Opening an archive: looking at an existing file without writing it,
// refusing what is not an archive of this kind or cannot be written,
// creating a new one, and upgrading an older schema in place.
#include "archive/Impl.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tmx::archive {

namespace {

bool exists(const std::string &path)
{
  struct stat st
  {};
  return ::stat(path.c_str(), &st) == 0;
}

// The folder of path ("." for a bare name).
std::string folderOf(const std::string &path)
{
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos)
    return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// No -wal and no -shm beside the file: no connection has it open, and it
// was closed cleanly (the last connection removes both).
bool closedCleanly(const std::string &path)
{
  return !exists(path + "-wal") && !exists(path + "-shm");
}

} // namespace

// Looks at an existing file through a read-only connection, so that a file
// that is refused is never written to (not even a checkpoint at close). A
// cleanly closed file is looked at immutable, so that nothing is made
// beside it either: a read-only connection to a WAL file would leave -wal
// and -shm files behind.
void Archive::Impl::checkExisting()
{
  auto refuse = [this](const std::string &why) {
    throw RefusedError("archive " + path + " refused: " + why);
  };
  try {
    Connection probe(path, SQLite::OPEN_READONLY, closedCleanly(path));
    std::int64_t app = 0, version = 0;
    try {
      app = probe.db.execAndGet("PRAGMA application_id").getInt64();
      version = probe.db.execAndGet("PRAGMA user_version").getInt64();
    } catch (const SQLite::Exception &e) {
      const int rc = primaryCode(e);
      if (rc == SQLITE_NOTADB)
        refuse("not an SQLite database");
      if (rc == SQLITE_CORRUPT)
        refuse("the file is damaged");
      refuse(std::string("cannot read the header: ") + e.what());
    }
    if (app != schema::applicationId)
      refuse("an SQLite database but not a tmx-web archive");
    if (version > schema::version)
      refuse("schema version " + std::to_string(version) + " is newer than this program's (" +
             std::to_string(schema::version) + ")");
    if (version < 1)
      refuse("the archive was never completed (schema version " + std::to_string(version) + ")");
    fileVersion = static_cast<int>(version);
    try {
      if (probe.db.execAndGet(schema::countTablesSql).getInt() != schema::tableCount(fileVersion))
        refuse("tables are missing");
      if (options.checkIntegrity) {
        SQLite::Statement q(probe.db, "PRAGMA quick_check(1)");
        if (!q.executeStep())
          refuse("the integrity check gave no answer");
        const std::string answer = q.getColumn(0).getString();
        if (answer != "ok")
          refuse("the file is damaged (" + answer + ")");
      }
    } catch (const SQLite::Exception &) {
      refuse("the file is damaged");
    }
  } catch (const SQLite::Exception &e) {
    throw Error("archive " + path + ": cannot open: " + e.what()); // not a verdict on the file
  }
}

// SQLite would open a file it may not write for reading only, and fail
// at the first write; and WAL needs its -wal and -shm files beside it.
void Archive::Impl::checkWritable() const
{
  auto refuse = [this](const std::string &what) {
    throw RefusedError("archive " + path + " refused: " + what + ": " + std::strerror(errno));
  };
  if (exists(path) && ::access(path.c_str(), W_OK) != 0)
    refuse("the file cannot be written");
  const std::string folder = folderOf(path);
  if (::access(folder.c_str(), W_OK | X_OK) != 0)
    refuse("its folder " + folder + " cannot be written");
}

void Archive::Impl::openWriter(bool fresh)
{
  try {
    writer = std::make_unique<Connection>(path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
  } catch (const SQLite::Exception &e) {
    throw Error("archive " + path + ": cannot open: " + e.what());
  }
  if (sqlite3_db_readonly(writer->db.getHandle(), "main") == 1)
    throw RefusedError("archive " + path + " refused: SQLite opened it for reading only");
  try {
    SQLite::Database &db = writer->db;
    // WAL: readers never block the writer nor each other. NORMAL: a commit
    // is not synced by itself (a power cut may lose the last commits, a
    // crash of the program none); the checkpoints are.
    db.exec("PRAGMA journal_mode = WAL");
    db.exec("PRAGMA synchronous = NORMAL");
    // Checkpoints (which sync) after 32 MB of log rather than 4 MB: a
    // backlog written in many small transactions then costs a few syncs,
    // not dozens.
    db.exec("PRAGMA wal_autocheckpoint = 8192");
    db.exec("PRAGMA journal_size_limit = 67108864");
    if (!fresh) {
      if (fileVersion < schema::version) {
        SQLite::Transaction transaction(db, SQLite::TransactionBehavior::IMMEDIATE);
        if (db.execAndGet("PRAGMA user_version").getInt64() == fileVersion) {
          db.exec(schema::upgradeSql(fileVersion));
          db.exec("PRAGMA user_version = " + std::to_string(schema::version));
        }
        transaction.commit();
        fileVersion = schema::version;
      }
      return;
    }
    SQLite::Transaction transaction(db, SQLite::TransactionBehavior::IMMEDIATE);
    if (db.execAndGet("PRAGMA application_id").getInt64() != 0 ||
        db.execAndGet("PRAGMA user_version").getInt64() != 0)
      throw RefusedError("archive " + path + " refused: the file was created by someone else meanwhile");
    db.exec(schema::createSql());
    db.exec("PRAGMA application_id = " + std::to_string(schema::applicationId));
    db.exec("PRAGMA user_version = " + std::to_string(schema::version));
    transaction.commit();
  } catch (const SQLite::Exception &e) {
    throw Error(describe(path, "cannot set up the file", e));
  }
}

Archive::Archive(const std::string &path, const OpenOptions &options)
  : impl_(std::make_unique<Impl>())
{
  impl_->path = path;
  impl_->options = options;
  struct stat st
  {};
  const bool existed = ::stat(path.c_str(), &st) == 0;
  if (existed && !S_ISREG(st.st_mode))
    throw RefusedError("archive " + path + " refused: not a regular file");
  const bool fresh = !existed || st.st_size == 0;
  if (options.readOnly && !existed)
    throw RefusedError("archive " + path + " refused: no such file");
  if (options.readOnly && fresh)
    throw RefusedError("archive " + path + " refused: the file is empty");
  if (!fresh)
    impl_->checkExisting();
  if (options.readOnly) {
    impl_->immutable = closedCleanly(path);
    return;
  }
  impl_->checkWritable();
  try {
    impl_->openWriter(fresh);
  } catch (const RefusedError &) {
    throw; // someone else's file, made meanwhile
  } catch (...) {
    // A new archive that could not be made (a full disk) leaves nothing.
    impl_->writer.reset();
    if (!existed) {
      ::unlink(path.c_str());
      ::unlink((path + "-wal").c_str());
      ::unlink((path + "-shm").c_str());
    }
    throw;
  }
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

} // namespace tmx::archive
