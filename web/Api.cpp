#include "web/Api.h"

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "config/Limits.h"
#include "web/CsvExport.h"
#include "web/JsonViews.h"

namespace tmx::web {

namespace {

Reply fault(int status, const std::string &reason)
{
  return { status, "text/plain; charset=utf-8", reason + "\n", {}, {} };
}

Reply json(const Json &j)
{
  return { 200, "application/json", jsonText(j), {}, {} };
}

Json points(const std::vector<archive::SeriesPoint> &series)
{
  Json out = Json::array();
  for (const auto &p : series)
    out.push_back(Json::array({ p.t, optionalNumber(p.min), optionalNumber(p.mean), optionalNumber(p.max) }));
  return out;
}

// The dew point of each point, from the point's mean temperature and mean
// humidity: exact for raw records; for summaries the dew point of the
// means (min and max equal to it: the archive keeps no dew-point extremes).
Json dewPoints(const archive::Series &series)
{
  Json out = Json::array();
  const std::size_t n = std::min(series.temperature.size(), series.humidity.size());
  for (std::size_t i = 0; i < n; ++i) {
    const auto &t = series.temperature[i];
    const auto &h = series.humidity[i];
    const Json d = optionalNumber(t.t == h.t ? dewPointOf(t.mean, h.mean) : std::nullopt);
    out.push_back(Json::array({ t.t, d, d, d }));
  }
  return out;
}

Reply series(const archive::Archive &archive, const HousekeepingQuery &q)
{
  try {
    archive::Series series = archive.housekeeping(*q.housing, q.window.from, q.window.to, q.points);
    Json j;
    j["housing"] = archive::housingName(*q.housing);
    j["from"] = q.window.from;
    j["to"] = q.window.to;
    j["resolution"] = series.resolution;
    j["temperature"] = points(series.temperature);
    j["humidity"] = points(series.humidity);
    j["dewPoint"] = dewPoints(series);
    Json wet = Json::array();
    for (const auto &w : series.wet)
      wet.push_back(Json::array({ w.first, w.second }));
    j["wet"] = std::move(wet);
    return json(j);
  } catch (const std::exception &e) {
    return fault(500, std::string("archive: ") + e.what());
  }
}

// The records of the window, streamed: an archive that fails part way
// breaks the reply off.
Reply csv(const archive::Archive &archive, const HousekeepingQuery &q)
{
  Reply reply{ 200, "text/csv; charset=utf-8", {}, {}, {} };
  reply.stream = [&archive, q](const ChunkSink &sink) {
    const RecordSource source =
      [&archive](double from, double to, std::optional<int> housing, std::size_t rows) {
        return archive.records(from, to, housing, rows);
      };
    return exportCsv(source, q, sink);
  };
  return reply;
}

// An event-stream client's place in the hub, left when the reply is
// dropped (sent, broken off, or never started).
struct Membership
{
  Membership(EventHub &hub, std::shared_ptr<EventHub::Client> client)
    : hub(hub)
    , client(std::move(client))
  {
  }
  ~Membership() { hub.leave(client); }
  Membership(const Membership &) = delete;
  Membership &operator=(const Membership &) = delete;

  EventHub &hub;
  const std::shared_ptr<EventHub::Client> client;
};

} // namespace

WebApi::WebApi(ApiSources sources)
  : s_(std::move(sources))
{
}

Reply WebApi::current() const
{
  return json(currentJson(s_.live, s_.link()));
}

Reply WebApi::housekeeping(const Params &params) const
{
  auto parsed = parseHousekeepingQuery(params, s_.live.now());
  if (auto *reason = std::get_if<std::string>(&parsed))
    return fault(400, *reason);
  const auto &q = std::get<HousekeepingQuery>(parsed);
  return q.csv ? csv(s_.archive, q) : series(s_.archive, q);
}

Reply WebApi::messages(const Params &params) const
{
  auto parsed = parseMessagesQuery(params, s_.live.now());
  if (auto *reason = std::get_if<std::string>(&parsed))
    return fault(400, *reason);
  const auto &q = std::get<MessagesQuery>(parsed);
  try {
    Json list = Json::array();
    for (const auto &e : s_.archive.log(q.window.from, q.window.to, q.limit))
      list.push_back(logEntryJson(e));
    Json j;
    j["messages"] = std::move(list);
    return json(j);
  } catch (const std::exception &e) {
    return fault(500, std::string("archive: ") + e.what());
  }
}

Reply WebApi::metrics() const
{
  std::uint64_t bytes = 0;
  try {
    bytes = s_.archive.fileBytes();
  } catch (const std::exception &) {
    // The size is left at 0; the values still matter.
  }
  if (s_.alarms) {
    try {
      s_.metrics.alarms(s_.alarms->counts(), s_.alarms->opened(), s_.alarms->health(24, s_.live.now()));
    } catch (const std::exception &) {
      // The health figures need the archive; the rest still matters.
    }
  }
  return { 200,
           "text/plain; version=0.0.4; charset=utf-8",
           s_.metrics.render(s_.live, s_.link(), bytes, s_.dropped()),
           {},
           {} };
}

Reply WebApi::events() const
{
  auto client = s_.hub.join(EventHub::format("state", serviceJson(s_.link())));
  if (!client)
    return fault(503, "too many event-stream clients");
  Reply reply{ 200, "text/event-stream", {}, { { "Cache-Control", "no-cache" } }, {} };
  auto member = std::make_shared<const Membership>(s_.hub, std::move(client));
  // Ends when the hub closes or the client goes away.
  reply.stream = [member](const ChunkSink &sink) {
    for (;;) {
      const std::string chunk = member->client->next();
      if (chunk.empty() || !sink(chunk))
        return false;
    }
  };
  return reply;
}

} // namespace tmx::web
