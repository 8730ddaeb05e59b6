// The summary arithmetic without any storage: random records in random
// windows, the series made from their buckets against a brute-force
// computation from the records themselves.
#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <random>

#include <gtest/gtest.h>

#include "archive/Summary.h"

using namespace tmx::archive;
using namespace tmx::archive::summary;

TEST(Summary, BucketsOfNegativeAndPositiveTimes)
{
  const struct
  {
    std::int64_t t, resolution, start;
  } cases[] = { { 0, 60, 0 },
                { 59, 60, 0 },
                { 60, 60, 60 },
                { -1, 60, -60 },
                { -60, 60, -60 },
                { -61, 600, -600 },
                { 1796725800, 3600, 1796724000 } };
  for (const auto &c : cases)
    EXPECT_EQ(bucketStart(c.t, c.resolution), c.start) << c.t << " at " << c.resolution;
}

namespace {

// The readings of one point, collected as they are: the brute force keeps
// every value instead of a running summary.
using Values = std::vector<double>;

void collect(Values &values, const std::optional<double> &v)
{
  if (v)
    values.push_back(*v);
}

// The buckets of res that overlap [from, to], by enumeration.
std::vector<std::int64_t> overlapping(double from, double to, std::int64_t res)
{
  std::vector<std::int64_t> out;
  for (std::int64_t b = (std::int64_t(std::floor(from)) / res - 2) * res; double(b) <= to; b += res)
    if (double(b + res) > from)
      out.push_back(b);
  return out;
}

void expectPoint(const SeriesPoint &p, const Values &e)
{
  ASSERT_EQ(p.min.has_value(), !e.empty());
  if (e.empty())
    return;
  const auto [lo, hi] = std::minmax_element(e.begin(), e.end());
  EXPECT_EQ(*p.min, *lo);
  EXPECT_EQ(*p.max, *hi);
  EXPECT_NEAR(*p.mean, std::accumulate(e.begin(), e.end(), 0.0) / double(e.size()), 1e-9);
}

} // namespace

TEST(Summary, SeriesFromBucketsMatchBruteForce)
{
  std::mt19937 rng(20261209);
  const double spans[] = { 900, 7200, 86400, 7 * 86400, 45 * 86400 };
  std::uniform_int_distribution<int> pct(0, 99);
  std::uniform_real_distribution<double> value(-20, 60), unit(0, 1);
  for (int round = 0; round < 150; ++round) {
    const double span = spans[round % std::size(spans)] * (0.5 + unit(rng));
    const double from = 1796725800 + std::floor(unit(rng) * 86400) + 0.25 * pct(rng) / 25;
    const double to = from + span;
    unsigned points = std::uniform_int_distribution<unsigned>(minPoints, 1500)(rng);
    if (round % 3 == 2) { // exactly as many points as buckets of some resolution
      const auto n = overlapping(from, to, summaryResolutions[pct(rng) % 3]).size();
      points = unsigned(std::clamp<std::size_t>(n, minPoints, 1500));
    }
    SCOPED_TRACE("round " + std::to_string(round) + ": " + std::to_string(points) + " points over " +
                 std::to_string(span) + " s");

    // Records of both housings in and around the window, in random order.
    std::vector<HousekeepingRecord> records(std::uniform_int_distribution<std::size_t>(1, 3000)(rng));
    for (auto &r : records) {
      r.housing = pct(rng) % 2;
      r.readingTime = std::int64_t(std::floor(from - 7200 + unit(rng) * (span + 14400)));
      r.temperature = pct(rng) < 10 ? -1.0 : value(rng);
      r.humidity = pct(rng) < 10 ? std::nullopt : std::optional<double>(value(rng) + 40);
      r.water = pct(rng) < 3;
    }
    Buckets buckets;
    for (const auto &r : records)
      addRecord(buckets, r);

    const Plan plan = choose(from, to, points);
    // The coarsest resolution with enough buckets, else the finest.
    int resolution = summaryResolutions[0];
    for (int res : summaryResolutions)
      if (overlapping(from, to, res).size() >= points)
        resolution = res;
    ASSERT_EQ(plan.resolution, resolution);
    const auto inWindow = overlapping(from, to, resolution);
    ASSERT_EQ(plan.first, inWindow.front());
    ASSERT_EQ(plan.last, inWindow.back());
    ASSERT_EQ(plan.width % resolution, 0);
    // However full the window, no more groups than points.
    std::vector<std::int64_t> groups;
    for (std::int64_t b : inWindow)
      if (groups.empty() || groups.back() != bucketStart(b, plan.width))
        groups.push_back(bucketStart(b, plan.width));
    ASSERT_LE(groups.size(), points);

    for (int housing : { 0, 1 }) {
      Series series;
      BucketMerger merger(plan, from, to, series);
      for (const auto &[key, b] : buckets)
        if (key.resolution == resolution && key.housing == housing && key.start >= plan.first &&
            key.start <= plan.last)
          merger.add(key.start, b);
      merger.finish();
      EXPECT_EQ(series.resolution, resolution);

      // Points: the records of the overlapping buckets, grouped by
      // multiples of the width.
      std::map<std::int64_t, Values[2]> expected;
      std::map<std::int64_t, bool> wetBuckets;
      for (const auto &r : records) {
        const std::int64_t bucket = bucketStart(r.readingTime, resolution);
        if (r.housing != housing || bucket < plan.first || bucket > plan.last)
          continue;
        auto &e = expected[bucketStart(r.readingTime, plan.width)];
        collect(e[0], r.temperature == -1.0 ? std::nullopt : r.temperature);
        collect(e[1], r.humidity);
        wetBuckets[bucket] = wetBuckets[bucket] || r.water;
      }
      ASSERT_LE(series.temperature.size(), points);
      ASSERT_EQ(series.temperature.size(), expected.size());
      ASSERT_EQ(series.humidity.size(), expected.size());
      std::size_t i = 0;
      for (const auto &[t, e] : expected) {
        ASSERT_EQ(series.temperature[i].t, double(t));
        ASSERT_EQ(series.humidity[i].t, double(t));
        expectPoint(series.temperature[i], e[0]);
        expectPoint(series.humidity[i], e[1]);
        ++i;
      }

      // Wet: runs of adjacent wet buckets, cut to the window.
      std::vector<std::pair<double, double>> wet;
      std::optional<std::int64_t> previous;
      for (const auto &[bucket, isWet] : wetBuckets) {
        if (!isWet)
          continue;
        const double end = std::min(double(bucket + resolution), to);
        if (previous && *previous + resolution == bucket)
          wet.back().second = end;
        else
          wet.emplace_back(std::max(double(bucket), from), end);
        previous = bucket;
      }
      EXPECT_EQ(series.wet, wet);
    }
  }
}
