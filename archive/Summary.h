// The arithmetic of the archive's series, without any storage: the buckets
// records count in, the running min/mean/max of a quantity, the choice of a
// summary resolution for a window, the merging of buckets into at most the
// points asked for, and the wet intervals; and the same series made of raw
// records. The archive stores and reads; this decides what the numbers are.
#pragma once

#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <tuple>

#include "archive/Archive.h"

namespace tmx::archive::summary {

// floor(a / b) for b > 0, negative a included.
std::int64_t floorDiv(std::int64_t a, std::int64_t b);
// Start of the bucket of `resolution` seconds that holds time t.
inline std::int64_t bucketStart(std::int64_t t, std::int64_t resolution)
{
  return floorDiv(t, resolution) * resolution;
}

// Running count, sum, min and max of one quantity over the readings that
// have a value; min and max mean something only when count > 0.
struct Quantity
{
  std::int64_t count = 0;
  double sum = 0;
  double min = HUGE_VAL, max = -HUGE_VAL;

  void add(const std::optional<double> &v);
  void merge(const Quantity &other);
  std::optional<double> lowest() const { return count > 0 ? std::optional<double>(min) : std::nullopt; }
  std::optional<double> highest() const { return count > 0 ? std::optional<double>(max) : std::nullopt; }
  // The point at t: min, mean and max, or no values when count is 0.
  SeriesPoint point(double t) const;
};

// One bucket of one housing: its quantities and whether any reading in it
// was wet.
struct Bucket
{
  Quantity temperature, humidity;
  bool wet = false;

  // A reading of -1.0 counts as no value (wire::reading).
  void add(const HousekeepingRecord &r);
  void merge(const Bucket &other);
};

struct BucketKey
{
  int resolution = 0, housing = 0;
  std::int64_t start = 0;
  bool operator<(const BucketKey &o) const
  {
    return std::tie(resolution, housing, start) < std::tie(o.resolution, o.housing, o.start);
  }
};

// Buckets by resolution, housing and start, in that order.
using Buckets = std::map<BucketKey, Bucket>;

// Counts r in its bucket of every summary resolution.
void addRecord(Buckets &buckets, const HousekeepingRecord &r);

// How the series of a window is made from summaries.
struct Plan
{
  int resolution = 0;
  // Starts of the first and the last bucket that overlap the window.
  std::int64_t first = 0, last = 0;
  // Width of a point: a whole number of buckets; points start at multiples
  // of it (Unix time).
  std::int64_t width = 0;
};

// The coarsest resolution with at least `points` buckets overlapping
// [from, to], else the finest; the point width that keeps the points to at
// most `points`. Needs 0 <= from <= to and points >= 2.
Plan choose(double from, double to, unsigned points);

// Makes series.temperature, series.humidity and series.wet from the buckets
// of plan.resolution in [plan.first, plan.last], fed in time order; sets
// series.resolution. [from, to] bounds the wet intervals.
class BucketMerger
{
public:
  BucketMerger(const Plan &plan, double from, double to, Series &series);
  void add(std::int64_t start, const Bucket &bucket);
  // Emits the last point; call once after the last add().
  void finish();

private:
  void flush();

  Plan plan_;
  double from_, to_;
  Series &series_;
  std::optional<std::int64_t> group_;
  Quantity temperature_, humidity_;
};

// Makes the same from raw records fed in reading-time order: one point per
// record; wet from the first wet record of a run to the next record, or to
// the last wet one when the run reaches the end.
class RawMerger
{
public:
  explicit RawMerger(Series &series);
  void add(const HousekeepingRecord &r);
  void finish();

private:
  Series &series_;
  bool inRun_ = false;
  double runStart_ = 0, lastWet_ = 0;
};

} // namespace tmx::archive::summary
