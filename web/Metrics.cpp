#include "web/Metrics.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include <prometheus/text_serializer.h>

#include "config/Limits.h"

namespace tmx::web {

namespace {

prometheus::Family<prometheus::Gauge> &gauge(prometheus::Registry &r, const char *name, const char *help)
{
  return prometheus::BuildGauge().Name(name).Help(help).Register(r);
}

prometheus::Family<prometheus::Counter> &counter(prometheus::Registry &r, const char *name, const char *help)
{
  return prometheus::BuildCounter().Name(name).Help(help).Register(r);
}

// The alarm health gauges, in the order of Metrics::health_.
struct HealthGauge
{
  const char *name, *help;
};
constexpr HealthGauge healthGauges[] = {
  { "tmx_alarm_health_episodes_per_10min_mean",
    "New alarm episodes per 10 minutes over the last 24 h, mean" },
  { "tmx_alarm_health_episodes_per_10min_highest",
    "New alarm episodes in the busiest 10 minutes of the last 24 h" },
  { "tmx_alarm_health_flood_ratio",
    "Share of the last 24 h's 10-minute intervals with more than 10 new episodes" },
  { "tmx_alarm_health_chattering", "Alarms opened 3 or more times within 60 s in the last 24 h" },
  { "tmx_alarm_health_standing", "Alarm episodes active for longer than 24 h" },
  { "tmx_alarm_health_acknowledge_median_seconds",
    "Median time from opening to acknowledgement over the last 24 h (NaN: none)" },
  { "tmx_alarm_health_acknowledge_longest_seconds",
    "Longest time from opening to acknowledgement over the last 24 h (NaN: none)" },
  { "tmx_alarm_health_unacknowledged", "Alarm episodes of the last 24 h still unacknowledged" },
  { "tmx_alarm_health_shelved", "Alarm episodes shelved now" },
};

prometheus::Labels housingLabel(int housing)
{
  return { { "housing", archive::housingName(housing) } };
}

double orNaN(const std::optional<double> &v)
{
  return v ? *v : std::nan("");
}

} // namespace

Metrics::Metrics()
  : registry_(std::make_shared<prometheus::Registry>())
  , temperature_(gauge(*registry_, "tmx_housing_temperature_celsius", "Last temperature of the housing"))
  , humidity_(
      gauge(*registry_, "tmx_housing_relative_humidity_percent", "Last relative humidity of the housing"))
  , dewPoint_(gauge(*registry_,
                    "tmx_housing_dew_point_celsius",
                    "Dew point of the housing's last temperature and humidity (Magnus formula)"))
  , water_(gauge(*registry_, "tmx_housing_water_wet", "Water line of the housing wet (1) or dry (0)"))
  , lastReading_(gauge(*registry_,
                       "tmx_housing_last_reading_timestamp_seconds",
                       "Reading time of the housing's last record, Unix seconds"))
  , stale_(gauge(*registry_, "tmx_housing_stale", "No record of the housing for 15 s, or not subscribed"))
  , messages_(counter(*registry_, "tmx_messages_received_total", "Alarm messages received, by priority"))
  , subscribed_(gauge(*registry_, "tmx_web_subscribed", "Subscribed to the notifier (1) or not (0)").Add({}))
  , archiveSize_(gauge(*registry_, "tmx_archive_size_bytes", "Size of the archive on disk").Add({}))
  , written_(
      counter(*registry_, "tmx_archive_records_written_total", "Records written to the archive, by kind"))
  , droppedTotal_(
      counter(*registry_, "tmx_archive_records_dropped_total", "Records dropped before reaching the archive")
        .Add({}))
  , repeated_(counter(*registry_,
                      "tmx_archive_records_repeated_total",
                      "Housekeeping records the archive held already with the same values, not stored again"))
  , refused_(counter(*registry_,
                     "tmx_records_refused_total",
                     "Housekeeping records refused for their reading time: more than 5 min ahead of this "
                     "machine's clock (future) or before 2000 (past)"))
  , alarmActive_(gauge(*registry_, "tmx_alarm_active", "Alarm episodes active (not cleared)"))
  , alarmUnacknowledged_(
      gauge(*registry_, "tmx_alarm_unacknowledged", "Current alarm episodes not acknowledged"))
  , alarmShelved_(gauge(*registry_, "tmx_alarm_shelved", "Current alarm episodes shelved"))
  , alarmEpisodes_(counter(*registry_, "tmx_alarm_episodes_total", "Alarm episodes opened").Add({}))
  , alertmanagerUp_(gauge(*registry_,
                          "tmx_alertmanager_up",
                          "The last exchange with the Alertmanager succeeded (1) or not (0)"))
  , notificationsFailed_(counter(*registry_,
                                 "tmx_notifications_failed_total",
                                 "Exchanges with the Alertmanager that failed (no answer, or an error)"))
{
  static_assert(std::size(healthGauges) == std::tuple_size<decltype(health_)>::value, "one gauge per figure");
  for (std::size_t i = 0; i < health_.size(); ++i)
    health_[i] = &gauge(*registry_, healthGauges[i].name, healthGauges[i].help).Add({});
  for (const char *reason : { "future", "past" })
    refused_.Add({ { "reason", reason } });
  for (int p = 0; p < 3; ++p)
    messages_.Add({ { "priority", archive::priorityName(p) } });
  for (const char *kind : { "housekeeping", "message", "console" })
    written_.Add({ { "kind", kind } });
  repeated_.Add({});
  for (int h = 0; h < archive::housingCount; ++h)
    stale_.Add(housingLabel(h)).Set(1);
}

void Metrics::reading(const archive::HousekeepingRecord &r)
{
  if (r.housing < 0 || r.housing >= archive::housingCount)
    return;
  const auto labels = housingLabel(r.housing);
  temperature_.Add(labels).Set(orNaN(r.temperature));
  humidity_.Add(labels).Set(orNaN(r.humidity));
  dewPoint_.Add(labels).Set(orNaN(dewPointOf(r.temperature, r.humidity)));
  water_.Add(labels).Set(r.water ? 1 : 0);
  lastReading_.Add(labels).Set(static_cast<double>(r.readingTime));
}

void Metrics::alertmanagers(const std::vector<std::string> &urls)
{
  for (const std::string &url : urls) {
    alertmanagerUp_.Add({ { "url", url } }).Set(0);
    notificationsFailed_.Add({ { "url", url } });
  }
}

void Metrics::alertExchange(const std::string &url, bool ok)
{
  alertmanagerUp_.Add({ { "url", url } }).Set(ok ? 1 : 0);
  if (!ok)
    notificationsFailed_.Add({ { "url", url } }).Increment();
}

void Metrics::refused(const char *reason)
{
  refused_.Add({ { "reason", reason } }).Increment();
}

void Metrics::message(int priority)
{
  const char *name = archive::priorityName(priority);
  if (*name)
    messages_.Add({ { "priority", name } }).Increment();
}

void Metrics::written(const archive::WriteCounts &counts)
{
  written_.Add({ { "kind", "housekeeping" } }).Increment(static_cast<double>(counts.housekeeping));
  written_.Add({ { "kind", "message" } }).Increment(static_cast<double>(counts.messages));
  written_.Add({ { "kind", "console" } }).Increment(static_cast<double>(counts.console));
  repeated_.Add({}).Increment(static_cast<double>(counts.repeated));
}

void Metrics::alarms(const std::vector<AlarmBook::Count> &counts,
                     std::uint64_t opened,
                     const AlarmHealth &health)
{
  std::lock_guard<std::mutex> lock(mutex_);
  // A combination that had episodes and has none now shows 0, not its
  // last count.
  std::set<prometheus::Labels> now;
  for (const auto &c : counts) {
    prometheus::Labels labels{ { "housing", c.housing ? archive::housingName(*c.housing) : "" },
                               { "kind", c.kind },
                               { "severity", c.severity } };
    alarmActive_.Add(labels).Set(c.active);
    alarmUnacknowledged_.Add(labels).Set(c.unacknowledged);
    alarmShelved_.Add(labels).Set(c.shelved);
    now.insert(labels);
    alarmLabels_.insert(std::move(labels));
  }
  for (const auto &labels : alarmLabels_)
    if (!now.count(labels)) {
      alarmActive_.Add(labels).Set(0);
      alarmUnacknowledged_.Add(labels).Set(0);
      alarmShelved_.Add(labels).Set(0);
    }
  if (opened > openedSeen_)
    alarmEpisodes_.Increment(static_cast<double>(opened - openedSeen_));
  openedSeen_ = std::max(openedSeen_, opened);
  const double values[] = { health.meanPerInterval,
                            static_cast<double>(health.mostPerInterval),
                            health.floodShare,
                            static_cast<double>(health.chattering.size()),
                            static_cast<double>(health.standing.size()),
                            orNaN(health.medianToAcknowledge),
                            orNaN(health.longestToAcknowledge),
                            static_cast<double>(health.unacknowledged),
                            static_cast<double>(health.shelvedNow) };
  static_assert(std::size(values) == std::size(healthGauges), "one value per health gauge");
  for (std::size_t i = 0; i < health_.size(); ++i)
    health_[i]->Set(values[i]);
}

std::string Metrics::render(const LiveState &live,
                            const LinkStatus &link,
                            std::uint64_t archiveBytes,
                            std::size_t droppedTotal)
{
  std::lock_guard<std::mutex> lock(mutex_);
  if (droppedTotal > droppedSeen_)
    droppedTotal_.Increment(static_cast<double>(droppedTotal - droppedSeen_));
  droppedSeen_ = std::max(droppedSeen_, droppedTotal);
  const double now = live.now();
  for (int h = 0; h < archive::housingCount; ++h) {
    auto r = live.last(h);
    const bool stale = link.state != LinkState::subscribed || !r || now - r->arrivalTime >= staleSeconds;
    stale_.Add(housingLabel(h)).Set(stale ? 1 : 0);
  }
  subscribed_.Set(link.state == LinkState::subscribed ? 1 : 0);
  archiveSize_.Set(static_cast<double>(archiveBytes));
  return prometheus::TextSerializer().Serialize(registry_->Collect());
}

} // namespace tmx::web
