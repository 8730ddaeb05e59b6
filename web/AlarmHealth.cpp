#include "web/AlarmHealth.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <tuple>

namespace tmx::web {

using archive::Episode;

namespace {

void rates(const std::vector<const Episode *> &episodes, double from, double now, AlarmHealth &health)
{
  if (now <= from)
    return;
  health.intervals = static_cast<int>(std::ceil((now - from) / healthIntervalSeconds));
  // Intervals end at now and count backwards, so that the last is whole.
  std::vector<int> per(static_cast<std::size_t>(health.intervals), 0);
  int total = 0;
  for (const Episode *e : episodes) {
    if (e->opened < from || e->opened > now)
      continue;
    const auto back = static_cast<std::size_t>((now - e->opened) / healthIntervalSeconds);
    ++per[std::min(back, per.size() - 1)];
    ++total;
  }
  health.meanPerInterval = static_cast<double>(total) / health.intervals;
  health.mostPerInterval = *std::max_element(per.begin(), per.end());
  const auto floods = std::count_if(per.begin(), per.end(), [](int n) { return n > floodEpisodes; });
  health.floodShare = static_cast<double>(floods) / health.intervals;
}

void chattering(const std::vector<const Episode *> &episodes, double from, AlarmHealth &health)
{
  using Key = std::tuple<std::string, std::optional<int>, std::string>;
  std::map<Key, std::vector<double>> openings;
  for (const Episode *e : episodes)
    if (e->opened >= from)
      openings[{ e->kind, e->housing, e->source }].push_back(e->opened);
  for (auto &[key, times] : openings) {
    std::sort(times.begin(), times.end());
    int most = 0;
    for (std::size_t first = 0, last = 0; last < times.size(); ++last) {
      while (times[last] - times[first] > chatterSeconds)
        ++first;
      most = std::max(most, static_cast<int>(last - first + 1));
    }
    if (most >= chatterOpenings)
      health.chattering.push_back(
        { std::get<0>(key), std::get<1>(key), std::get<2>(key), static_cast<int>(times.size()), most });
  }
}

} // namespace

AlarmHealth alarmHealth(const std::vector<Episode> &given, double from, double now)
{
  std::map<std::int64_t, const Episode *> byId;
  for (const Episode &e : given)
    byId.emplace(e.id, &e);
  std::vector<const Episode *> episodes;
  for (const auto &[id, e] : byId)
    episodes.push_back(e);

  AlarmHealth health;
  rates(episodes, from, now, health);
  chattering(episodes, from, health);

  std::vector<const Episode *> standing;
  std::vector<double> toAcknowledge;
  for (const Episode *e : episodes) {
    if (e->active() && now - e->opened > standingSeconds)
      standing.push_back(e);
    if (e->acknowledged)
      toAcknowledge.push_back(std::max(0.0, e->acknowledged->at - e->opened));
    else
      ++health.unacknowledged;
    if (e->shelved && e->shelved->until > now)
      ++health.shelvedNow;
  }
  std::sort(standing.begin(), standing.end(), [](const Episode *a, const Episode *b) {
    return std::tie(a->opened, a->id) < std::tie(b->opened, b->id);
  });
  for (const Episode *e : standing)
    health.standing.push_back(e->id);

  if (!toAcknowledge.empty()) {
    std::sort(toAcknowledge.begin(), toAcknowledge.end());
    const std::size_t n = toAcknowledge.size();
    health.medianToAcknowledge = (toAcknowledge[(n - 1) / 2] + toAcknowledge[n / 2]) / 2;
    health.longestToAcknowledge = toAcknowledge.back();
  }
  return health;
}

} // namespace tmx::web
