#include "archive/Summary.h"

#include <algorithm>
#include <iterator>

namespace tmx::archive::summary {

std::int64_t floorDiv(std::int64_t a, std::int64_t b)
{
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0)))
    --q;
  return q;
}

void Quantity::add(const std::optional<double> &v)
{
  if (!v)
    return;
  ++count;
  sum += *v;
  min = std::min(min, *v);
  max = std::max(max, *v);
}

void Quantity::merge(const Quantity &other)
{
  if (other.count == 0)
    return;
  count += other.count;
  sum += other.sum;
  min = std::min(min, other.min);
  max = std::max(max, other.max);
}

SeriesPoint Quantity::point(double t) const
{
  SeriesPoint p;
  p.t = t;
  if (count > 0) {
    p.min = min;
    p.max = max;
    p.mean = sum / static_cast<double>(count);
  }
  return p;
}

void Bucket::add(const HousekeepingRecord &r)
{
  temperature.add(reading(r.temperature));
  humidity.add(reading(r.humidity));
  wet = wet || r.water;
}

void Bucket::merge(const Bucket &other)
{
  temperature.merge(other.temperature);
  humidity.merge(other.humidity);
  wet = wet || other.wet;
}

void addRecord(Buckets &buckets, const HousekeepingRecord &r)
{
  for (int res : summaryResolutions)
    buckets[{ res, r.housing, bucketStart(r.readingTime, res) }].add(r);
}

Plan choose(double from, double to, unsigned points)
{
  const auto first = [&](int res) { return floorDiv(static_cast<std::int64_t>(std::floor(from)), res); };
  const auto last = [&](int res) { return floorDiv(static_cast<std::int64_t>(std::floor(to)), res); };
  Plan plan;
  plan.resolution = summaryResolutions[0];
  for (auto it = std::rbegin(summaryResolutions); it != std::rend(summaryResolutions); ++it)
    if (last(*it) - first(*it) + 1 >= static_cast<std::int64_t>(points)) {
      plan.resolution = *it;
      break;
    }
  const int res = plan.resolution;
  const std::int64_t count = last(res) - first(res) + 1;
  // k buckets per point, groups aligned to multiples of k * res: at most
  // ceil(count / k) + 1 <= points groups.
  const std::int64_t k = count > points ? (count + points - 2) / (points - 1) : 1;
  plan.width = k * res;
  plan.first = first(res) * res;
  plan.last = last(res) * res;
  return plan;
}

BucketMerger::BucketMerger(const Plan &plan, double from, double to, Series &series)
  : plan_(plan)
  , from_(from)
  , to_(to)
  , series_(series)
{
  series_.resolution = plan.resolution;
}

void BucketMerger::flush()
{
  if (!group_)
    return;
  series_.temperature.push_back(temperature_.point(static_cast<double>(*group_)));
  series_.humidity.push_back(humidity_.point(static_cast<double>(*group_)));
  temperature_ = Quantity();
  humidity_ = Quantity();
}

void BucketMerger::add(std::int64_t start, const Bucket &bucket)
{
  const std::int64_t g = bucketStart(start, plan_.width);
  if (group_ != g) {
    flush();
    group_ = g;
  }
  temperature_.merge(bucket.temperature);
  humidity_.merge(bucket.humidity);
  if (bucket.wet) {
    const double a = std::max(static_cast<double>(start), from_);
    const double b = std::min(static_cast<double>(start + plan_.resolution), to_);
    auto &wet = series_.wet;
    if (!wet.empty() && wet.back().second >= static_cast<double>(start))
      wet.back().second = b;
    else
      wet.emplace_back(a, b);
  }
}

void BucketMerger::finish()
{
  flush();
  group_.reset();
}

RawMerger::RawMerger(Series &series)
  : series_(series)
{
  series_.resolution = 0;
}

void RawMerger::add(const HousekeepingRecord &r)
{
  const double t = static_cast<double>(r.readingTime);
  series_.temperature.push_back({ t, r.temperature, r.temperature, r.temperature });
  series_.humidity.push_back({ t, r.humidity, r.humidity, r.humidity });
  if (r.water) {
    if (!inRun_)
      runStart_ = t;
    inRun_ = true;
    lastWet_ = t;
  } else if (inRun_) {
    series_.wet.emplace_back(runStart_, t);
    inRun_ = false;
  }
}

void RawMerger::finish()
{
  if (inRun_)
    series_.wet.emplace_back(runStart_, lastWet_);
  inRun_ = false;
}

} // namespace tmx::archive::summary
