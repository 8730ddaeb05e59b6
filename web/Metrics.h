// tmx-web's Prometheus metrics (names in the HTTP interface's
// description): the housings' last values, the messages received, the link
// to the notifier and the archive's writes and size.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>

#include <set>
#include <vector>

#include "archive/Archive.h"
#include "web/AlarmBook.h"
#include "web/AlarmHealth.h"
#include "web/LiveState.h"
#include "web/Subscription.h"

namespace tmx::web {

class Metrics
{
public:
  Metrics();

  void reading(const archive::HousekeepingRecord &record);
  // priority as in archive::priorityName.
  void message(int priority);
  // A housekeeping record refused, reason as in RecordCheck::refusal.
  void refused(const char *reason);
  void written(const archive::WriteCounts &counts);
  // The alarms' state before a render: the current episodes' counts, the
  // episodes opened since start, the health figures of the last 24 h.
  void alarms(const std::vector<AlarmBook::Count> &counts, std::uint64_t opened, const AlarmHealth &health);
  // The Alertmanagers alerts go to (down until one answers), and the
  // outcome of each exchange with one.
  void alertmanagers(const std::vector<std::string> &urls);
  void alertExchange(const std::string &url, bool ok);

  // The text exposition, with the gauges that depend on the time (stale,
  // subscribed, archive size) brought up to date first.
  // droppedTotal: records dropped before reaching the archive so far.
  std::string render(const LiveState &live,
                     const LinkStatus &link,
                     std::uint64_t archiveBytes,
                     std::size_t droppedTotal);

private:
  std::shared_ptr<prometheus::Registry> registry_;
  prometheus::Family<prometheus::Gauge> &temperature_, &humidity_, &dewPoint_, &water_, &lastReading_,
    &stale_;
  prometheus::Family<prometheus::Counter> &messages_;
  prometheus::Gauge &subscribed_, &archiveSize_;
  prometheus::Family<prometheus::Counter> &written_;
  prometheus::Counter &droppedTotal_;
  prometheus::Family<prometheus::Counter> &repeated_;
  prometheus::Family<prometheus::Counter> &refused_;
  prometheus::Family<prometheus::Gauge> &alarmActive_, &alarmUnacknowledged_, &alarmShelved_;
  prometheus::Counter &alarmEpisodes_;
  prometheus::Family<prometheus::Gauge> &alertmanagerUp_;
  prometheus::Family<prometheus::Counter> &notificationsFailed_;
  std::array<prometheus::Gauge *, 9> health_{}; // the health figures, as Metrics.cpp lists them
  std::mutex mutex_;                            // one render at a time; guards what follows
  std::size_t droppedSeen_ = 0;
  std::uint64_t openedSeen_ = 0;
  std::set<prometheus::Labels> alarmLabels_; // every combination shown so far
};

} // namespace tmx::web
