#include "web/Api.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>

#include <httplib.h>

#include "web/page/Page.h"
#include "wire/HousekeepingText.h"

namespace tmx::web {

namespace {

Reply fault(int status, const std::string &reason)
{
  return { status, "text/plain; charset=utf-8", reason + "\n" };
}

Reply json(const Json &j)
{
  return { 200, "application/json", j.dump(-1, ' ', false, Json::error_handler_t::replace) };
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

// Sent uncompressed (sendUncompressed). A refusal is sent as a plain
// body, which the error handler recognises as already answered.
void send(httplib::Response &res, Reply reply)
{
  res.status = reply.status;
  if (reply.status >= 400) {
    res.set_content(reply.body, reply.contentType.c_str());
    return;
  }
  auto body = std::make_shared<const std::string>(std::move(reply.body));
  sendUncompressed(res, body->data(), body->size(), reply.contentType.c_str(), body);
}

// Rows per archive read while a CSV export streams.
constexpr std::size_t csvPage = 5000;

// The state of one streaming CSV export: it reads the window page by page,
// each page from the reading time of the last row sent (rows of that time
// already sent are skipped: housing and reading time identify a record).
struct CsvExport
{
  HousekeepingQuery query;
  double cursor = 0;
  std::optional<std::pair<std::int64_t, int>> last; // (reading time, housing) sent last
  bool headerSent = false;
};

} // namespace

WebApi::WebApi(ApiSources sources)
  : s_(std::move(sources))
{
}

Reply WebApi::current() const
{
  return json(s_.live.currentJson(s_.link()));
}

Reply WebApi::housekeeping(const Params &params) const
{
  auto parsed = parseHousekeepingQuery(params, s_.live.now());
  if (auto *reason = std::get_if<std::string>(&parsed))
    return fault(400, *reason);
  const auto &q = std::get<HousekeepingQuery>(parsed);
  if (q.csv)
    return fault(400, "format=csv is streamed by the HTTP route");
  return housekeeping(q);
}

Reply WebApi::housekeeping(const HousekeepingQuery &q) const
{
  try {
    archive::Series series = s_.archive.housekeeping(*q.housing, q.window.from, q.window.to, q.points);
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
  return { 200,
           "text/plain; version=0.0.4; charset=utf-8",
           s_.metrics.render(s_.live, s_.link(), bytes, s_.dropped()) };
}

void WebApi::addRoutes(httplib::Server &server)
{
  server.Get("/api/current",
             [this](const httplib::Request &, httplib::Response &res) { send(res, current()); });
  server.Get("/api/messages", [this](const httplib::Request &req, httplib::Response &res) {
    send(res, messages(req.params));
  });
  server.Get("/metrics", [this](const httplib::Request &, httplib::Response &res) { send(res, metrics()); });

  server.Get("/api/housekeeping", [this](const httplib::Request &req, httplib::Response &res) {
    auto parsed = parseHousekeepingQuery(req.params, s_.live.now());
    if (auto *reason = std::get_if<std::string>(&parsed)) {
      send(res, fault(400, *reason));
      return;
    }
    auto *q = std::get_if<HousekeepingQuery>(&parsed);
    if (!q->csv) {
      send(res, housekeeping(*q));
      return;
    }
    auto state = std::make_shared<CsvExport>();
    state->query = *q;
    state->cursor = q->window.from;
    const archive::Archive &archive = s_.archive;
    res.set_chunked_content_provider(
      "text/csv; charset=utf-8", [state, &archive](std::size_t, httplib::DataSink &sink) {
        std::string out;
        if (!state->headerSent) {
          out = tmx::wire::csvHeader();
          state->headerSent = true;
        }
        std::vector<archive::HousekeepingRecord> rows;
        try {
          rows = archive.records(state->cursor, state->query.window.to, state->query.housing, csvPage);
        } catch (const std::exception &) {
          return false; // the reply breaks off: the client sees an incomplete transfer
        }
        for (const auto &r : rows) {
          const std::pair<std::int64_t, int> key(r.readingTime, r.housing);
          if (state->last && key <= *state->last)
            continue;
          out += tmx::wire::csvRow(r);
          state->last = key;
        }
        if (!out.empty() && !sink.write(out.data(), out.size()))
          return false;
        if (rows.size() < csvPage)
          sink.done();
        else
          state->cursor = static_cast<double>(state->last ? state->last->first : state->cursor);
        return true;
      });
  });

  server.Get("/api/events", [this](const httplib::Request &, httplib::Response &res) {
    auto client = s_.hub.join(EventHub::format("state", serviceJson(s_.link())));
    if (!client) {
      send(res, fault(503, "too many event-stream clients"));
      return;
    }
    res.set_header("Cache-Control", "no-cache");
    EventHub &hub = s_.hub;
    res.set_chunked_content_provider(
      "text/event-stream",
      [client](std::size_t, httplib::DataSink &sink) {
        const std::string chunk = client->next();
        return !chunk.empty() && sink.write(chunk.data(), chunk.size());
      },
      [client, &hub](bool) { hub.leave(client); });
  });

  // Only GET and HEAD are served.
  const auto notAllowed = [](const httplib::Request &req, httplib::Response &res) {
    res.set_header("Allow", "GET, HEAD");
    send(res, fault(405, "method " + req.method + " not allowed (only GET)"));
  };
  server.Post(".*", notAllowed);
  server.Put(".*", notAllowed);
  server.Patch(".*", notAllowed);
  server.Delete(".*", notAllowed);
  server.Options(".*", notAllowed);

  // Replies without a body of their own get a one-line reason.
  server.set_error_handler([](const httplib::Request &req, httplib::Response &res) {
    if (!res.body.empty())
      return;
    if (res.status == 404)
      send(res, fault(404, "no such path: " + req.path));
    else
      send(res, fault(res.status, "request refused (HTTP " + std::to_string(res.status) + ")"));
  });
  server.set_exception_handler([](const httplib::Request &, httplib::Response &res, std::exception_ptr e) {
    std::string what = "internal error";
    try {
      if (e)
        std::rethrow_exception(e);
    } catch (const std::exception &x) {
      what += std::string(": ") + x.what();
    } catch (...) {
    }
    send(res, fault(500, what));
  });
}

bool parseListen(const std::string &text, std::string &host, int &port)
{
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
    return false;
  std::string h = text.substr(0, colon);
  if (h.front() == '[') {
    if (h.size() < 3 || h.back() != ']')
      return false;
    h = h.substr(1, h.size() - 2);
  } else if (h.find(':') != std::string::npos) {
    return false; // an IPv6 address needs its brackets
  }
  const std::string p = text.substr(colon + 1);
  unsigned v = 0;
  auto r = std::from_chars(p.data(), p.data() + p.size(), v);
  if (r.ec != std::errc() || r.ptr != p.data() + p.size() || v > 65535)
    return false;
  host = h;
  port = static_cast<int>(v);
  return true;
}

// ------------------------------------------------------------ HttpServer

HttpServer::HttpServer(WebApi &api, std::size_t maxStreams)
  : server_(std::make_unique<httplib::Server>())
{
  // Each event stream holds a thread for its life; ordinary requests keep
  // eight of their own.
  const std::size_t threads = maxStreams + 8;
  server_->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  server_->set_read_timeout(5, 0);
  server_->set_write_timeout(5, 0);
  server_->set_payload_max_length(64 * 1024);
  api.addRoutes(*server_);

  // The dashboard page: "/" and "/static/...".
  addPageRoutes(*server_);
}

HttpServer::~HttpServer()
{
  stop();
}

bool HttpServer::bind(const std::string &host, int port, std::string &why)
{
  errno = 0;
  int bound = port == 0 ? server_->bind_to_any_port(host) : (server_->bind_to_port(host, port) ? port : -1);
  if (bound <= 0) {
    why = errno ? std::strerror(errno) : "cannot bind";
    return false;
  }
  port_ = bound;
  return true;
}

void HttpServer::start()
{
  if (!thread_.joinable())
    thread_ = std::thread([this] {
      server_->listen_after_bind();
      finished_ = true;
    });
}

void HttpServer::stop()
{
  if (!thread_.joinable())
    return;
  // stop() does nothing before the server runs: wait (bounded) for that.
  for (int i = 0; i < 2000 && !server_->is_running() && !finished_; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  server_->stop();
  thread_.join();
}

} // namespace tmx::web
