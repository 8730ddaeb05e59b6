#include "web/Live.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <prometheus/text_serializer.h>

namespace tmx::web {

double unixSeconds(std::chrono::system_clock::time_point t)
{
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

Json optionalNumber(const std::optional<double> &v)
{
  return v && std::isfinite(*v) ? Json(*v) : Json(nullptr);
}

bool readLimitsConfig(const std::string &path,
                      LimitsSet &limits,
                      std::string &why,
                      const std::function<void(const std::string &)> &report)
{
  std::FILE *file = std::fopen(path.c_str(), "rb");
  if (!file) {
    why = std::strerror(errno);
    return false;
  }
  std::string text;
  char buf[4096];
  std::size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, file)) > 0)
    text.append(buf, n);
  const bool failed = std::ferror(file) != 0;
  const int error = errno;
  std::fclose(file);
  if (failed) {
    why = std::strerror(error);
    return false;
  }
  std::vector<ConfigEntry> entries;
  configformat::parseEntries(text, entries);
  const char *sensors[archive::housingCount] = { "TMX-E1", "TMX-S1" };
  for (int h = 0; h < archive::housingCount; ++h) {
    std::string malformed;
    limits[static_cast<std::size_t>(h)] = housingLimitsOf(entries, sensors[h], malformed);
    if (!malformed.empty())
      report(malformed);
  }
  return true;
}

Json limitsJson(const HousingLimits &limits)
{
  Json j;
  j["lowTemperature"] = optionalNumber(limits.lowTemperature);
  j["highTemperature"] = optionalNumber(limits.highTemperature);
  j["highHumidity"] = optionalNumber(limits.highHumidity);
  j["dewPointMargin"] = optionalNumber(limits.dewPointMargin);
  j["hysteresis"] = limits.hysteresis;
  return j;
}

Json serviceJson(const LinkStatus &status)
{
  Json j;
  j["state"] = linkStateName(status.state);
  j["since"] = unixSeconds(status.since);
  j["lastRecord"] = status.lastRecord ? Json(unixSeconds(*status.lastRecord)) : Json(nullptr);
  j["stale"] = status.stale;
  return j;
}

Json logEntryJson(const archive::LogEntry &entry)
{
  Json j;
  j["time"] = entry.time;
  const bool console = entry.kind == archive::LogEntry::Kind::console;
  j["kind"] = console ? "console" : "message";
  j["priority"] = entry.priority ? Json(archive::priorityName(*entry.priority)) : Json(nullptr);
  j["sentTime"] = entry.sentTime ? Json(*entry.sentTime) : Json(nullptr);
  j["text"] = entry.text;
  return j;
}

// ------------------------------------------------------------ LiveState

LiveState::LiveState(const Clock &clock)
  : clock_(clock)
{
}

void LiveState::update(const archive::HousekeepingRecord &record)
{
  if (record.housing < 0 || record.housing >= archive::housingCount)
    return;
  std::lock_guard<std::mutex> lock(mutex_);
  auto &held = last_[static_cast<std::size_t>(record.housing)];
  if (!held || held->readingTime <= record.readingTime)
    held = record;
}

void LiveState::setLimits(const LimitsSet &limits)
{
  std::lock_guard<std::mutex> lock(mutex_);
  limits_ = limits;
}

std::optional<archive::HousekeepingRecord> LiveState::last(int housing) const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return last_.at(static_cast<std::size_t>(housing));
}

Json LiveState::housingJson(int housing, const LinkStatus &link) const
{
  const double now = this->now();
  std::optional<archive::HousekeepingRecord> record;
  std::optional<HousingLimits> limits;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    record = last_.at(static_cast<std::size_t>(housing));
    if (limits_)
      limits = (*limits_)[static_cast<std::size_t>(housing)];
  }
  Json j;
  j["housing"] = archive::housingName(housing);
  if (!record) {
    j["readingTime"] = nullptr;
    j["arrivalTime"] = nullptr;
    j["temperature"] = nullptr;
    j["humidity"] = nullptr;
    j["dewPoint"] = nullptr;
    j["water"] = nullptr;
    j["age"] = nullptr;
    j["stale"] = true;
    j["limits"] = limits ? limitsJson(*limits) : Json(nullptr);
    return j;
  }
  const double age = std::max(0.0, now - record->arrivalTime);
  j["readingTime"] = record->readingTime;
  j["arrivalTime"] = record->arrivalTime;
  j["temperature"] = optionalNumber(record->temperature);
  j["humidity"] = optionalNumber(record->humidity);
  j["dewPoint"] = optionalNumber(dewPointOf(record->temperature, record->humidity));
  j["water"] = record->water;
  j["age"] = age;
  j["stale"] = link.state != LinkState::subscribed || age >= staleSeconds;
  j["limits"] = limits ? limitsJson(*limits) : Json(nullptr);
  return j;
}

Json LiveState::currentJson(const LinkStatus &link) const
{
  Json j;
  j["now"] = now();
  j["service"] = serviceJson(link);
  Json housings = Json::array();
  for (int h = 0; h < archive::housingCount; ++h)
    housings.push_back(housingJson(h, link));
  j["housings"] = std::move(housings);
  return j;
}

// ------------------------------------------------------------ EventHub

EventHub::EventHub()
  : EventHub(Options())
{
}

EventHub::EventHub(Options options)
  : options_(options)
{
}

std::string EventHub::format(const std::string &event, const Json &data)
{
  // dump() escapes control characters, so the data is one line.
  return "event: " + event + "\ndata: " + data.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n\n";
}

std::shared_ptr<EventHub::Client> EventHub::join(const std::string &first)
{
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_ || clients_.size() >= options_.maxClients)
    return nullptr;
  std::shared_ptr<Client> client(new Client(*this));
  if (!first.empty())
    client->queue_.push_back(first);
  clients_.push_back(client);
  return client;
}

void EventHub::leave(const std::shared_ptr<Client> &client)
{
  std::lock_guard<std::mutex> lock(mutex_);
  clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
}

void EventHub::publish(const std::string &event, const Json &data)
{
  const std::string text = format(event, data);
  std::lock_guard<std::mutex> lock(mutex_);
  if (clients_.empty())
    return;
  for (auto &c : clients_) {
    if (c->queue_.size() >= options_.queueLimit)
      c->queue_.pop_front();
    c->queue_.push_back(text);
  }
  changed_.notify_all();
}

void EventHub::close()
{
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  changed_.notify_all();
}

std::size_t EventHub::clients() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return clients_.size();
}

std::string EventHub::Client::next()
{
  std::unique_lock<std::mutex> lock(hub_.mutex_);
  hub_.changed_.wait_for(lock, hub_.options_.keepAlive, [this] { return hub_.closed_ || !queue_.empty(); });
  if (hub_.closed_)
    return {};
  if (queue_.empty())
    return ": keep-alive\n\n";
  std::string out;
  while (!queue_.empty()) {
    out += queue_.front();
    queue_.pop_front();
  }
  return out;
}

// ------------------------------------------------------------ Metrics

namespace {

prometheus::Family<prometheus::Gauge> &gauge(prometheus::Registry &r, const char *name, const char *help)
{
  return prometheus::BuildGauge().Name(name).Help(help).Register(r);
}

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
  , messages_(prometheus::BuildCounter()
                .Name("tmx_messages_received_total")
                .Help("Alarm messages received, by priority")
                .Register(*registry_))
  , subscribed_(gauge(*registry_, "tmx_web_subscribed", "Subscribed to the notifier (1) or not (0)").Add({}))
  , archiveSize_(gauge(*registry_, "tmx_archive_size_bytes", "Size of the archive on disk").Add({}))
  , written_(prometheus::BuildCounter()
               .Name("tmx_archive_records_written_total")
               .Help("Records written to the archive, by kind")
               .Register(*registry_))
  , droppedTotal_(prometheus::BuildCounter()
                    .Name("tmx_archive_records_dropped_total")
                    .Help("Records dropped before reaching the archive")
                    .Register(*registry_)
                    .Add({}))
{
  for (int p = 0; p < 3; ++p)
    messages_.Add({ { "priority", archive::priorityName(p) } });
  for (const char *kind : { "housekeeping", "message", "console" })
    written_.Add({ { "kind", kind } });
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
