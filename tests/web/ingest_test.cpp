// The ingest queue: batches reach the store; a failing store keeps the
// batch and reports once; a full queue drops its oldest records, reported
// once per episode; the thread writes within a second and flushes on stop;
// old records go in steps on the clock's schedule.
#include "web/Ingest.h"

#include "tests/web/FakeClock.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>

using namespace tmx::web;
using tmx::archive::HousekeepingRecord;

namespace {

struct FakeStore : Store
{
  std::mutex mutex;
  std::condition_variable changed;
  bool failing = false;
  std::vector<std::int64_t> written; // reading times, in write order
  int batches = 0;

  tmx::archive::WriteCounts write(const tmx::archive::Batch &batch) override
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (failing)
      throw std::runtime_error("database or disk is full");
    for (const auto &r : batch.housekeeping)
      written.push_back(r.readingTime);
    ++batches;
    changed.notify_all();
    return { batch.housekeeping.size(), batch.messages.size(), batch.console.size() };
  }
  std::deque<std::size_t> pruned; // what each prune() returns; empty: 0
  std::vector<double> cutoffs;    // of each prune(), in call order

  std::size_t prune(double cutoff, std::size_t) override
  {
    cutoffs.push_back(cutoff);
    if (pruned.empty())
      return 0;
    const std::size_t n = pruned.front();
    pruned.pop_front();
    return n;
  }
};

Record reading(std::int64_t t)
{
  HousekeepingRecord r;
  r.readingTime = t;
  return r;
}

TEST(Ingest, FailingStoreKeepsTheBatchReportsOnceAndResumes)
{
  FakeStore store;
  std::vector<std::string> reports;
  Ingest ingest(
    store, [&](const std::string &r) { reports.push_back(r); }, Ingest::Options());
  std::size_t counted = 0;
  ingest.onWritten([&](const tmx::archive::WriteCounts &c) { counted += c.housekeeping; });

  store.failing = true;
  ingest.push(reading(1));
  ingest.flushOnce();
  ingest.push(reading(2));
  ingest.flushOnce();
  ingest.flushOnce();
  EXPECT_TRUE(ingest.failing());
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("disk is full"), std::string::npos);

  store.failing = false;
  ingest.push(reading(3));
  ingest.flushOnce();
  EXPECT_FALSE(ingest.failing());
  EXPECT_EQ(store.written, (std::vector<std::int64_t>{ 1, 2, 3 }));
  EXPECT_EQ(counted, 3u);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_NE(reports[1].find("again"), std::string::npos);
}

TEST(Ingest, StopTellsHowManyRecordsWereLost)
{
  FakeStore store;
  store.failing = true;
  std::vector<std::string> reports;
  Ingest ingest(
    store, [&](const std::string &r) { reports.push_back(r); }, Ingest::Options());
  ingest.start();
  for (int t = 1; t <= 3; ++t)
    ingest.push(reading(t));
  EXPECT_EQ(ingest.stop(), 3u);
  ASSERT_FALSE(reports.empty());
  EXPECT_NE(reports.back().find("3 records could not be written"), std::string::npos) << reports.back();

  FakeStore good;
  Ingest fine(
    good, [](const std::string &) {}, Ingest::Options());
  fine.start();
  fine.push(reading(1));
  EXPECT_EQ(fine.stop(), 0u);
}

TEST(Ingest, FullQueueDropsTheOldestWithOneReportPerEpisode)
{
  FakeStore store;
  std::vector<std::string> reports;
  Ingest::Options options;
  options.queueLimit = 3;
  Ingest ingest(
    store, [&](const std::string &r) { reports.push_back(r); }, options);
  for (int t = 1; t <= 6; ++t)
    ingest.push(reading(t));
  ingest.flushOnce();
  for (int t = 7; t <= 10; ++t)
    ingest.push(reading(t));
  ingest.flushOnce();
  EXPECT_EQ(store.written, (std::vector<std::int64_t>{ 4, 5, 6, 8, 9, 10 }));
  EXPECT_EQ(ingest.dropped(), 4u);
  EXPECT_EQ(reports.size(), 1u) << "still the same episode";
  ingest.flushOnce(); // a round without drops ends it
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_NE(reports[1].find("4 records were dropped"), std::string::npos);
}

TEST(Ingest, WriterThreadWritesWithinASecondAndFlushesOnStop)
{
  FakeStore store;
  Ingest::Options options;
  options.flushEvery = std::chrono::milliseconds(500);
  Ingest ingest(
    store, [](const std::string &) {}, options);
  ingest.start();
  ingest.push(reading(1));
  {
    std::unique_lock<std::mutex> lock(store.mutex);
    EXPECT_TRUE(store.changed.wait_for(
      lock, std::chrono::milliseconds(1000), [&] { return store.written.size() == 1; }));
  }
  ingest.push(reading(2));
  ingest.stop();
  EXPECT_EQ(store.written, (std::vector<std::int64_t>{ 1, 2 }));
}

TEST(Ingest, DeletesOldRecordsInStepsOnTheClocksSchedule)
{
  tmx::web::test::FakeClock clock;
  FakeStore store;
  Ingest::Options options;
  options.keepSeconds = 86400;
  options.pruneEvery = std::chrono::milliseconds(60000);
  options.pruneRows = 10;
  Ingest ingest(
    store, clock, [](const std::string &) {}, options);
  store.pruned = { 10, 3 }; // a full step, then the rest

  const double cutoff = unixSeconds(clock.wall()) - 86400;
  ingest.flushOnce(); // full step: the next round goes on at once
  ingest.flushOnce(); // the rest: nothing more for a minute
  ingest.flushOnce();
  clock.advance(std::chrono::milliseconds(59999));
  ingest.flushOnce();
  EXPECT_EQ(store.cutoffs, (std::vector<double>{ cutoff, cutoff }));
  clock.advance(std::chrono::milliseconds(1));
  ingest.flushOnce();
  EXPECT_EQ(store.cutoffs, (std::vector<double>{ cutoff, cutoff, cutoff + 60 }));
}

} // namespace
