// What tmx-web serves from memory: the last record of each housing (seeded
// from the archive at start), the JSON objects of /api/current and of the
// server-sent events, the event hub of the SSE clients, and the metrics.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>

#include "config/Limits.h"
#include "archive/Archive.h"
#include "web/Subscription.h"

namespace tmx::web {

using Json = nlohmann::ordered_json;

// A record is stale after this long without one (three housekeeping
// periods).
constexpr double staleSeconds = 15.0;

double unixSeconds(std::chrono::system_clock::time_point t);

// The number, or null when it is missing or not finite.
Json optionalNumber(const std::optional<double> &v);

// The limits of each housing (index as HousingID).
using LimitsSet = std::array<HousingLimits, archive::housingCount>;

// The limits of both housings from the monitor's configuration file at
// `path` (its TMX-E1-LIMITS and TMX-S1-LIMITS entries), read with the
// monitor's own parser. false with the reason when the file cannot be
// read. A malformed entry is passed to `report` (the monitor's text for
// it) and leaves that housing without limits.
bool readLimitsConfig(const std::string &path,
                      LimitsSet &limits,
                      std::string &why,
                      const std::function<void(const std::string &)> &report);

// {"lowTemperature":x|null,"highTemperature":x|null,"highHumidity":x|null,
//  "dewPointMargin":x|null,"hysteresis":x}
Json limitsJson(const HousingLimits &limits);

// The service object: {"state","since","lastRecord","stale"}.
Json serviceJson(const LinkStatus &status);
// A message object of /api/messages.
Json logEntryJson(const archive::LogEntry &entry);

class LiveState
{
public:
  explicit LiveState(const Clock &clock);

  // Records are kept when they are not older than the one held.
  void update(const archive::HousekeepingRecord &record);
  std::optional<archive::HousekeepingRecord> last(int housing) const;

  // The housings' limits, shown with each housing; without them (the
  // default) each housing shows "limits": null.
  void setLimits(const LimitsSet &limits);

  // One housing object of /api/current at the clock's now; stale also
  // when the service is not subscribed. It carries the dew point of the
  // last reading and the housing's limits.
  Json housingJson(int housing, const LinkStatus &link) const;
  // The whole of /api/current.
  Json currentJson(const LinkStatus &link) const;

  double now() const { return unixSeconds(clock_.wall()); }

private:
  const Clock &clock_;
  mutable std::mutex mutex_;
  std::array<std::optional<archive::HousekeepingRecord>, archive::housingCount> last_;
  std::optional<LimitsSet> limits_;
};

// The server-sent events' clients. publish() never blocks: each client
// has a bounded queue whose oldest events give way. Clients are bounded in
// number.
class EventHub
{
public:
  struct Options
  {
    std::size_t maxClients = 64;
    std::size_t queueLimit = 256; // events per client
    std::chrono::milliseconds keepAlive{ 15000 };
  };

  class Client
  {
  public:
    // The next chunk to send: queued events, or ": keep-alive\n\n" after
    // keepAlive without any. Empty when the hub is closed.
    std::string next();

  private:
    friend class EventHub;
    explicit Client(EventHub &hub)
      : hub_(hub)
    {
    }
    EventHub &hub_;
    std::deque<std::string> queue_; // guarded by hub_.mutex_
  };

  EventHub();
  explicit EventHub(Options options);

  // A new client, or null when there are maxClients already (or closed).
  // first is queued for it before anything else.
  std::shared_ptr<Client> join(const std::string &first);
  void leave(const std::shared_ptr<Client> &client);
  // "event: NAME\ndata: JSON\n\n" to every client.
  void publish(const std::string &event, const Json &data);
  // Ends every client's stream (shutdown).
  void close();
  std::size_t clients() const;

  static std::string format(const std::string &event, const Json &data);

private:
  const Options options_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::shared_ptr<Client>> clients_;
  bool closed_ = false;
};

// The Prometheus metrics (names in the HTTP interface's description).
class Metrics
{
public:
  Metrics();

  void reading(const archive::HousekeepingRecord &record);
  // priority as in archive::priorityName.
  void message(int priority);
  void written(const archive::WriteCounts &counts);

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
  std::mutex mutex_; // one render at a time; guards droppedSeen_
  std::size_t droppedSeen_ = 0;
};

} // namespace tmx::web
