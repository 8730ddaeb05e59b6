#include "web/Ingest.h"

#include <exception>

#include "tools/common/Worker.h"

namespace tmx::web {

template<class T>
std::size_t Ingest::trim(std::vector<T> &records)
{
  // Each kind keeps its share of retainLimit.
  const std::size_t limit = options_.retainLimit / 3;
  if (records.size() <= limit)
    return 0;
  const std::size_t excess = records.size() - limit;
  records.erase(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(excess));
  dropped_.fetch_add(excess);
  return excess;
}

Ingest::Ingest(Store &store, const Clock &clock, Report report, Options options)
  : store_(store)
  , clock_(clock)
  , report_(std::move(report))
  , options_(options)
{
}

Ingest::~Ingest()
{
  stop();
}

void Ingest::push(Record record)
{
  std::lock_guard<std::mutex> lock(mutex_);
  if (queue_.size() >= options_.queueLimit) {
    queue_.pop_front();
    ++droppedUnreported_;
    dropped_.fetch_add(1);
  }
  queue_.push_back(std::move(record));
}

void Ingest::start()
{
  tools::startWorker(mutex_, thread_, [this] { loop(); });
}

std::size_t Ingest::stop()
{
  tools::stopWorker(mutex_, wake_, stopping_, thread_);
  // The writer has ended: what it still holds, and what was queued after
  // its last round, is lost.
  std::lock_guard<std::mutex> lock(mutex_);
  return pending_.size() + queue_.size();
}

void Ingest::loop()
{
  std::unique_lock<std::mutex> lock(mutex_);
  auto nextRound = clock_.steady() + options_.flushEvery;
  for (;;) {
    // A round is due flushEvery after the end of the last one, by the
    // clock; a stop makes the last one at once.
    const auto now = clock_.steady();
    if (!stopping_ && now < nextRound) {
      wake_.wait_for(lock, nextRound - now, [this] { return stopping_; });
      continue;
    }
    const bool final = stopping_;
    lock.unlock();
    writeRound(final);
    lock.lock();
    if (final)
      return;
    nextRound = clock_.steady() + options_.flushEvery;
  }
}

void Ingest::flushOnce()
{
  writeRound(false);
}

void Ingest::writeRound(bool final)
{
  std::lock_guard<std::mutex> writer(writerMutex_);
  std::size_t droppedNow = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    droppedNow = droppedUnreported_;
    droppedUnreported_ = 0;
    for (auto &r : queue_) {
      if (auto *h = std::get_if<archive::HousekeepingRecord>(&r))
        pending_.housekeeping.push_back(std::move(*h));
      else if (auto *m = std::get_if<archive::MessageRecord>(&r))
        pending_.messages.push_back(std::move(*m));
      else
        pending_.console.push_back(std::move(std::get<archive::ConsoleLine>(r)));
    }
    queue_.clear();
  }
  // While the store fails, the oldest retained records give way.
  droppedNow += trim(pending_.housekeeping) + trim(pending_.messages) + trim(pending_.console);
  // One report when an episode of drops begins and one when it ends.
  if (droppedNow) {
    if (!dropEpisode_)
      report_("the archive cannot keep up: dropping the oldest queued records");
    dropEpisode_ = true;
    droppedInEpisode_ += droppedNow;
  } else if (dropEpisode_) {
    report_(std::to_string(droppedInEpisode_) + " records were dropped before reaching the archive");
    dropEpisode_ = false;
    droppedInEpisode_ = 0;
  }

  if (!pending_.empty()) {
    try {
      const archive::WriteCounts counts = store_.write(pending_);
      pending_.clear();
      if (failing_.exchange(false))
        report_("writing the archive again");
      if (written_)
        written_(counts);
    } catch (const std::exception &e) {
      if (!failing_.exchange(true))
        report_(std::string("cannot write the archive: ") + e.what() + "; keeping up to " +
                std::to_string(options_.retainLimit) + " records and trying again every second");
      if (final)
        report_(std::to_string(pending_.size()) + " records could not be written to the archive");
    }
  }

  if (options_.keepSeconds && !final && !failing_.load()) {
    const auto now = clock_.steady();
    if (now >= nextPrune_) {
      try {
        const std::size_t removed =
          store_.prune(unixSeconds(clock_.wall()) - *options_.keepSeconds, options_.pruneRows);
        // A full step: more to delete, go on at the next round.
        nextPrune_ = removed >= options_.pruneRows ? now : now + options_.pruneEvery;
        if (pruneFailing_)
          report_("deleting old records again");
        pruneFailing_ = false;
      } catch (const std::exception &e) {
        if (!pruneFailing_)
          report_(std::string("cannot delete old records: ") + e.what());
        pruneFailing_ = true;
        nextPrune_ = now + options_.pruneEvery;
      }
    }
  }
}

} // namespace tmx::web
