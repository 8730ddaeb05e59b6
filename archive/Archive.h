// The archive of tmx-web: every housekeeping record, message and console
// line in one SQLite file (WAL mode), with per-bucket summaries that keep
// plots of long windows fast. Used by tmx-web (one writer thread, several
// HTTP threads reading) and by tmx-history (reading only).
//
// Times: reading times are whole Unix seconds (UTC) as the monitor sends
// them; arrival times here are Unix seconds with fractions. A reading of
// -1.0 is the monitor's "could not be read": the archive stores it as no
// value (NULL) and it appears as std::nullopt in everything read back.
//
// Alarm episodes and the audit trail of what operators did about them
// (archive/Episode.h) are kept from schema version 3 on; an older archive
// opened for reading only holds none.
//
// Thread safety: write(), saveAlarms() and prune() may be called from any thread; they
// are serialised on one writer connection. Every reading call is safe from
// several threads at once, also while a write is in progress: each runs on
// a reading connection of its own (a small pool), and WAL gives it a
// consistent snapshot without blocking the writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "archive/Episode.h"
#include "wire/Records.h"

namespace tmx::archive {

// Any failure of the archive; what() is one line for a log or a terminal.
class Error : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

// open() refused the file: missing (read-only open), not an SQLite file,
// an SQLite file of another kind, a newer schema, or damaged. The file has
// not been written to.
class RefusedError : public Error
{
public:
  using Error::Error;
};

// write() or prune() failed (disk full, I/O error, ...). The transaction
// has been rolled back: the archive holds exactly what it held before the
// call, and the same batch may be written again later.
class WriteError : public Error
{
public:
  WriteError(const std::string &what, bool diskFull)
    : Error(what)
    , diskFull_(diskFull)
  {
  }
  // SQLITE_FULL: the disk (or the file size limit) is full.
  bool diskFull() const { return diskFull_; }

private:
  bool diskFull_;
};

// The records kept, as the notifier's events decode (wire/Records.h).
using wire::ConsoleLine;
using wire::HousekeepingRecord;
using wire::housingCount;
using wire::housingName;
using wire::MessageRecord;
using wire::parseHousing;
using wire::priorityName;
using wire::reading;

// What one write() stores in one transaction.
struct Batch
{
  std::vector<HousekeepingRecord> housekeeping;
  std::vector<MessageRecord> messages;
  std::vector<ConsoleLine> console;

  bool empty() const { return housekeeping.empty() && messages.empty() && console.empty(); }
  std::size_t size() const { return housekeeping.size() + messages.size() + console.size(); }
  void clear();
};

// What a write() stored. A housekeeping record whose housing and reading
// time are already in the archive with the same values (an exact repeat)
// is not stored again, so that it never counts twice in the summaries, and
// is counted in repeated; one with other values (a monitor whose clock
// stepped back) is stored beside the first. Invalid housings and
// priorities are skipped and counted nowhere.
struct WriteCounts
{
  std::size_t housekeeping = 0;
  std::size_t messages = 0;
  std::size_t console = 0;
  std::size_t repeated = 0; // exact repeats left out
};

// Summary resolutions in seconds, finest first. Every record counts in one
// bucket of each: the bucket starting at floor(readingTime / r) * r.
constexpr int summaryResolutions[] = { 60, 600, 3600 };

// One point of a series: raw (min = mean = max = the value) or a summary of
// one or more buckets. Values are nullopt when no reading in the point had
// a value.
struct SeriesPoint
{
  double t = 0; // raw: reading time; summary: start of the first bucket
  std::optional<double> min, mean, max;
};

struct Series
{
  int housing = 0;
  double from = 0, to = 0;
  // 0: raw records; otherwise the summary resolution the points were made
  // from (several buckets of it may be merged into one point, so that there
  // are never more points than asked for; the points' spacing is then a
  // whole multiple of it, aligned to multiples of that width in Unix time).
  int resolution = 0;
  std::vector<SeriesPoint> temperature, humidity;
  // Intervals [from, to] in the window during which the water line was
  // wet, in time order. Raw: from the first wet record of a run to the next
  // (dry) record, or to the last wet one when the run reaches the end of the
  // window. Summaries: from the start of the first wet bucket to the end of
  // the last one of a run of wet buckets (bucket resolution, not merged).
  std::vector<std::pair<double, double>> wet;
};

// One entry of the message list: a message or a console line.
struct LogEntry
{
  enum class Kind
  {
    message,
    console
  };
  double time = 0; // arrival here
  Kind kind = Kind::message;
  std::optional<int> priority;          // messages only
  std::optional<std::int64_t> sentTime; // messages only
  std::string text;
};

struct KindStats
{
  std::uint64_t count = 0;
  std::optional<double> first, last; // housekeeping: reading time; others: arrival
};

struct Stats
{
  KindStats housekeeping, messages, console;
  KindStats episodes;          // first, last: opening times
  std::uint64_t fileBytes = 0; // the file, its -wal included
};

// Limits on what one call returns.
constexpr unsigned minPoints = 2;
constexpr unsigned maxPoints = 10000;
constexpr std::size_t maxLogEntries = 10000;
constexpr std::size_t maxEpisodes = 10000;
constexpr std::size_t maxAuditEntries = 10000;
// Default cap on the rows one export call delivers (about five months of
// both housings at 5 s).
constexpr std::size_t defaultMaxExportRows = 5'000'000;

struct OpenOptions
{
  // true: nothing is ever written (tmx-history); a missing file is refused.
  // false: a missing or empty file is created as a new archive.
  bool readOnly = false;
  // Runs PRAGMA quick_check at open and refuses a damaged file (costs a
  // read of the whole file: about a second per 100 MB).
  bool checkIntegrity = true;
};

class Archive
{
public:
  // Opens or creates the archive at path. Throws RefusedError (the file
  // untouched) for a file that is not an archive of this kind, has a newer
  // schema or is damaged; Error for other failures (cannot create it).
  explicit Archive(const std::string &path, const OpenOptions &options = {});
  ~Archive();
  Archive(const Archive &) = delete;
  Archive &operator=(const Archive &) = delete;

  const std::string &path() const;

  // Stores the batch and updates the summaries, all in one transaction.
  // Throws WriteError (nothing stored) when it cannot; retrying the batch
  // later is safe. Throws Error on a read-only archive.
  WriteCounts write(const Batch &batch);

  // Deletes up to maxRows rows older than before (Unix seconds: records by
  // reading time for housekeeping, by arrival time for messages and console
  // lines; summary buckets that end at or before it), in one short
  // transaction. Returns the number of rows deleted; 0 when nothing older
  // is left. The caller loops, letting other writes in between. Throws
  // WriteError like write().
  // Episodes cleared before it go too, with their audit rows, unless they
  // are current (latched and not acknowledged, or shelved); nor the one of
  // the highest id (so that lastEpisodeId() never goes back).
  std::size_t prune(double before, std::size_t maxRows = 2000);

  // Stores the episodes (replacing those of the same id) and appends the
  // audit entries, in one transaction; with synced (the default) it is on
  // disk when this returns, so that an operator's action survives even a
  // power cut; without, like write() (a crash of the program loses nothing,
  // a power cut the last moments). Throws Error, nothing stored, for an id
  // below 1 or a housing out of range; otherwise like write().
  void saveAlarms(const std::vector<Episode> &episodes,
                  const std::vector<AuditEntry> &audit,
                  bool synced = true);

  // The current episodes: every one not cleared, the latched ones
  // (cleared, latching, not acknowledged) and the shelved ones; by id, at
  // most maxEpisodes (the newest).
  std::vector<Episode> currentEpisodes() const;
  // The episodes whose life [opened, cleared] (never cleared: without end)
  // overlaps [from, to], the current ones only when activeOnly; newest
  // first by opening time, at most limit (clamped to [1, maxEpisodes]).
  std::vector<Episode> episodes(double from, double to, bool activeOnly, std::size_t limit) const;
  std::optional<Episode> episode(std::int64_t id) const;
  // Every episode overlapping [from, to] as episodes() tells, oldest first
  // by opening time, each with its whole audit trail (oldest first), all
  // from one snapshot; fn returns false to stop. Returns the number
  // delivered.
  std::size_t forEachEpisode(
    double from,
    double to,
    const std::function<bool(const Episode &, const std::vector<AuditEntry> &)> &fn) const;
  // The audit entries of one episode, or those of action times in
  // [from, to]; oldest first, at most maxAuditEntries (the oldest).
  std::vector<AuditEntry> audit(std::int64_t episode) const;
  std::vector<AuditEntry> audit(double from, double to) const;
  // The highest episode id stored; 0 when none.
  std::int64_t lastEpisodeId() const;

  // The series of one housing in [from, to] with at most `points` points
  // per quantity (points is clamped to [minPoints, maxPoints]): raw records
  // when the window holds no more than `points` of them; otherwise the
  // coarsest summary resolution with at least `points` buckets in the
  // window (merged down to at most `points` points); otherwise the finest
  // resolution.
  Series housekeeping(int housing, double from, double to, unsigned points) const;

  // The raw records in [from, to] (reading time), of one housing or of
  // both, ordered by reading time and then housing. Calls fn for each, at
  // most maxRows times; fn returns false to stop. Returns the number
  // delivered; *truncated (when not null) tells whether rows were left out
  // because of maxRows. The rows are read from one snapshot.
  std::size_t forEachRecord(double from,
                            double to,
                            std::optional<int> housing,
                            const std::function<bool(const HousekeepingRecord &)> &fn,
                            std::size_t maxRows = defaultMaxExportRows,
                            bool *truncated = nullptr) const;
  // The same, collected (at most maxRows).
  std::vector<HousekeepingRecord> records(double from,
                                          double to,
                                          std::optional<int> housing,
                                          std::size_t maxRows = defaultMaxExportRows) const;

  // Messages and console lines that arrived in [from, to], newest first, at
  // most limit (clamped to [1, maxLogEntries]).
  std::vector<LogEntry> log(double from, double to, std::size_t limit) const;

  // The record of the housing with the latest reading time, if any.
  std::optional<HousekeepingRecord> latest(int housing) const;

  // Counts, first and last times per kind, and the size on disk.
  Stats stats() const;
  // The size on disk (the file and its -wal), cheap enough for every scrape.
  std::uint64_t fileBytes() const;

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

} // namespace tmx::archive
