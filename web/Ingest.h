// The way records reach the archive without ever delaying the consumer:
// push() only appends to a bounded queue (the oldest record is dropped when
// it is full, reported once per episode); a writer thread of its own takes
// what has queued at least once a second and writes it as one batch (one
// transaction). A batch the store refuses (a full disk) is kept, bounded,
// and tried again each second; the failure is reported once, and its end
// once more. With a retention period, the writer also deletes old records
// in small steps. Its rounds and deletions are timed by the Clock (steady
// time), the retention cut-off is the clock's wall time.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "archive/Archive.h"
#include "web/Clock.h"
#include "wire/Records.h"

namespace tmx::web {

using wire::Record;

// Where batches go (the archive). Called from the writer thread only.
class Store
{
public:
  virtual ~Store() = default;
  // Writes the records in one transaction: all or nothing. Throws
  // std::exception (with a readable what()) on failure.
  virtual archive::WriteCounts write(const archive::Batch &batch) = 0;
  // Deletes at most maxRows records older than cutoff (Unix seconds);
  // returns how many went. Throws on failure.
  virtual std::size_t prune(double cutoff, std::size_t maxRows) = 0;
};

// The archive as the ingest's store.
class ArchiveStore : public Store
{
public:
  explicit ArchiveStore(archive::Archive &archive)
    : archive_(archive)
  {
  }
  archive::WriteCounts write(const archive::Batch &batch) override { return archive_.write(batch); }
  std::size_t prune(double cutoff, std::size_t maxRows) override { return archive_.prune(cutoff, maxRows); }

private:
  archive::Archive &archive_;
};

class Ingest
{
public:
  struct Options
  {
    std::size_t queueLimit = 50000;   // records waiting for the writer
    std::size_t retainLimit = 200000; // records kept while the store fails
    std::chrono::milliseconds flushEvery{ 500 };
    std::optional<double> keepSeconds; // retention; none keeps everything
    std::chrono::milliseconds pruneEvery{ 60000 };
    std::size_t pruneRows = 2000; // per step
  };
  using Report = std::function<void(const std::string &)>;
  // After each successful batch: what it stored.
  using Written = std::function<void(const archive::WriteCounts &)>;

  Ingest(Store &store, const Clock &clock, Report report, Options options);
  // On the real clocks.
  Ingest(Store &store, Report report, Options options)
    : Ingest(store, systemClock(), std::move(report), options)
  {
  }
  ~Ingest();
  Ingest(const Ingest &) = delete;
  Ingest &operator=(const Ingest &) = delete;

  void onWritten(Written written) { written_ = std::move(written); }

  // Never blocks on the store.
  void push(Record record);

  void start();
  // Writes what is queued (one last attempt) and ends the writer; returns
  // how many records that left unwritten (lost).
  std::size_t stop();

  // Records dropped so far (queue full, or retained beyond retainLimit).
  std::size_t dropped() const { return dropped_.load(); }
  // True while the store refuses batches.
  bool failing() const { return failing_.load(); }

  // One writer round now (tests drive it without the thread).
  void flushOnce();

private:
  void loop();
  void writeRound(bool final);
  template<class T>
  std::size_t trim(std::vector<T> &records);

  Store &store_;
  const Clock &clock_;
  Report report_;
  Written written_;
  const Options options_;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Record> queue_;
  bool stopping_ = false;
  std::size_t droppedUnreported_ = 0;

  // Writer thread only.
  archive::Batch pending_;
  std::chrono::steady_clock::time_point nextPrune_{}; // the first prune is due at once
  bool pruneFailing_ = false;
  bool dropEpisode_ = false;
  std::size_t droppedInEpisode_ = 0;

  std::atomic<std::size_t> dropped_{ 0 };
  std::atomic<bool> failing_{ false };
  std::mutex writerMutex_; // one writer round at a time
  std::thread thread_;
};

} // namespace tmx::web
