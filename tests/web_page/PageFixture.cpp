// tmx-page-fixture: serves the dashboard (pageReply) with canned /api/*
// answers (both housings with limits, as tmx-web --config gives them) and an
// event stream the browser test controls, on 127.0.0.1 at a free port
// (printed as "PORT <n>" on standard output).
//
// Control (loopback only, for the test):
//   POST /test/event    body "event: <kind>\ndata: <json>\n\n", sent to every
//                       stream; housekeeping and state events also change what
//                       /api/current answers from then on
//   POST /test/current  body: the /api/current answer (its "now" is replaced)
//   POST /test/drop     ends every open event stream (a lost connection)
//   GET  /test/stats    {"housekeepingRequests":n,"streams":n,"streamsOpened":n}
// It exits by itself after --lifetime seconds (default 300).
#include "config/Limits.h"
#include "web/HttpServer.h"
#include "web/page/Page.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

using nlohmann::json;

namespace {

double unixNow()
{
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

using tmx::web::Reply;
using tmx::web::Request;

Reply sendJson(const json &value)
{
  return { 200, "application/json", value.dump(), {}, {} };
}

// The value of the query parameter name, or "".
std::string param(const Request &req, const char *name)
{
  auto it = req.params.find(name);
  return it == req.params.end() ? std::string() : it->second;
}

struct Stream
{
  std::deque<std::string> queue; // bounded: a stalled reader loses old events
  bool ended = false;
};

class Fixture
{
public:
  Fixture()
    : start_(unixNow())
  {
    current_ = json::parse(R"({
      "service": {"state": "subscribed", "lastRecord": null, "stale": false},
      "housings": [
        {"housing": "electronics", "temperature": 22.4, "humidity": 41.2, "dewPoint": 8.57, "water": false, "stale": false,
         "limits": {"lowTemperature": 5, "highTemperature": 35, "highHumidity": 60, "dewPointMargin": 3, "hysteresis": 0.5}},
        {"housing": "spectrograph", "temperature": 18.7, "humidity": null, "dewPoint": null, "water": false, "stale": false,
         "limits": {"lowTemperature": 10, "highTemperature": null, "highHumidity": 35, "dewPointMargin": null,
                    "hysteresis": 0}}]})");
    for (auto &h : current_["housings"]) {
      h["readingTime"] = start_ - 2;
      h["arrivalTime"] = start_ - 1.9;
      h["age"] = 1.9;
    }
    current_["service"]["since"] = start_ - 600;
    current_["service"]["lastRecord"] = start_ - 1.9;
  }

  void routes(tmx::web::Routes &routes)
  {
    routes.fallback(&tmx::web::pageReply);
    routes.get("/api/current", [this](const Request &) {
      std::lock_guard<std::mutex> lock(mutex_);
      current_["now"] = unixNow();
      return sendJson(current_);
    });
    routes.get("/api/housekeeping", [this](const Request &req) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++housekeepingRequests_;
      }
      return sendJson(housekeeping(req));
    });
    routes.get("/api/messages", [this](const Request &) {
      json messages = json::array();
      messages.push_back({ { "time", start_ - 300 },
                           { "kind", "console" },
                           { "priority", nullptr },
                           { "sentTime", nullptr },
                           { "text", "tmx: housekeeping period 5 s" } });
      messages.push_back({ { "time", start_ - 900 },
                           { "kind", "message" },
                           { "priority", "ALARM" },
                           { "sentTime", 1000.0 },
                           { "text", "Water detected in housing 0" } });
      messages.push_back({ { "time", start_ - 1500 },
                           { "kind", "message" },
                           { "priority", "WARNING" },
                           { "sentTime", 900.0 },
                           { "text", "Humidity of housing 1 could not be read" } });
      return sendJson(json{ { "messages", messages } });
    });
    // No alarms, and a read-only visitor.
    routes.get("/api/alarms", [](const Request &) {
      return sendJson(
        json{ { "state", "active" }, { "count", 0 }, { "unacknowledged", 0 }, { "alarms", json::array() } });
    });
    routes.get("/api/whoami", [](const Request &) {
      return sendJson(json{ { "operator", nullptr }, { "canAcknowledge", false } });
    });
    routes.get("/api/events", [this](const Request &) {
      auto stream = std::make_shared<Stream>();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        streams_.insert(stream);
        ++streamsOpened_;
      }
      // Leaves the set when the reply is dropped (sent, broken off).
      auto member = std::shared_ptr<Stream>(stream.get(), [this, stream](Stream *) {
        std::lock_guard<std::mutex> lock(mutex_);
        streams_.erase(stream);
      });
      Reply reply{ 200, "text/event-stream", {}, { { "Cache-Control", "no-cache" } }, {} };
      reply.stream = [this, member](const tmx::web::ChunkSink &sink) {
        for (;;) {
          std::unique_lock<std::mutex> lock(mutex_);
          cv_.wait_for(
            lock, std::chrono::seconds(1), [&] { return !member->queue.empty() || member->ended; });
          if (member->ended)
            return false;
          std::string out = ": keep-alive\n\n";
          if (!member->queue.empty()) {
            out.clear();
            for (auto &e : member->queue)
              out += e;
            member->queue.clear();
          }
          lock.unlock();
          if (!sink(out))
            return false;
        }
      };
      return reply;
    });
    routes.post("/test/event", [this](const Request &req) {
      const std::string &text = req.body;
      const auto dataAt = text.find("data: ");
      const auto kindAt = text.find("event: ");
      if (dataAt == std::string::npos || kindAt == std::string::npos)
        return Reply{ 400, "text/plain", "need event: and data: lines\n", {}, {} };
      const std::string kind = text.substr(kindAt + 7, text.find('\n', kindAt) - kindAt - 7);
      const json data = json::parse(text.substr(dataAt + 6, text.find('\n', dataAt) - dataAt - 6));
      std::lock_guard<std::mutex> lock(mutex_);
      if (kind == "housekeeping") {
        for (auto &h : current_["housings"])
          if (h["housing"] == data["housing"])
            h = data;
      } else if (kind == "state") {
        current_["service"] = data;
        for (auto &h : current_["housings"])
          h["stale"] = data["stale"];
      }
      for (auto &s : streams_) {
        if (s->queue.size() >= 256)
          s->queue.pop_front();
        s->queue.push_back(text);
      }
      cv_.notify_all();
      return Reply{ 200, "text/plain", {}, {}, {} };
    });
    routes.post("/test/current", [this](const Request &req) {
      std::lock_guard<std::mutex> lock(mutex_);
      current_ = json::parse(req.body);
      return Reply{ 200, "text/plain", {}, {}, {} };
    });
    routes.post("/test/drop", [this](const Request &) {
      endStreams();
      return Reply{ 200, "text/plain", {}, {}, {} };
    });
    routes.get("/test/stats", [this](const Request &) {
      std::lock_guard<std::mutex> lock(mutex_);
      return sendJson(json{ { "housekeepingRequests", housekeepingRequests_ },
                            { "streams", streams_.size() },
                            { "streamsOpened", streamsOpened_ } });
    });
  }

  void endStreams()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto &s : streams_)
      s->ended = true;
    cv_.notify_all();
  }

private:
  // A smooth series per housing; raw records every 5 s when they fit in the
  // points asked for, otherwise min-mean-max per minute or hour. The electronics'
  // water line was wet from 40 to 30 minutes ago; one spectrograph humidity is missing.
  json housekeeping(const Request &req) const
  {
    const double now = unixNow();
    const double to = req.params.count("to") ? std::atof(param(req, "to").c_str()) : now;
    const double from = req.params.count("from") ? std::atof(param(req, "from").c_str()) : to - 3600;
    const int points = req.params.count("points") ? std::atoi(param(req, "points").c_str()) : 1000;
    const std::string housing = param(req, "housing");
    const bool electronics = housing == "electronics" || housing == "0";
    const double span = to - from;
    const int resolution = span / 5 <= points ? 0 : span / 60 <= points ? 60 : 3600;
    const double step =
      resolution == 0 ? 5 : std::max<double>(resolution, std::ceil(span / points / resolution) * resolution);
    json t = json::array(), h = json::array(), d = json::array();
    for (double x = std::ceil(from / step) * step; x <= to && x <= now; x += step) {
      const double phase = x / 3600.0 * 2 * M_PI;
      const double temp = (electronics ? 22.0 : 18.5) + 0.5 * std::sin(phase);
      const double hum = (electronics ? 40.0 : 30.0) + 2.0 * std::cos(phase);
      const double band = resolution == 0 ? 0 : 0.3;
      t.push_back({ x, temp - band, temp, temp + band });
      if (!electronics && std::fmod(x, 600) < step) {
        h.push_back({ x, nullptr, nullptr, nullptr });
        d.push_back({ x, nullptr, nullptr, nullptr });
      } else {
        h.push_back({ x, hum - 4 * band, hum, hum + 4 * band });
        const double dew = dewPoint(temp, hum);
        d.push_back({ x, dew, dew, dew });
      }
    }
    json wet = json::array();
    if (electronics && start_ - 1800 > from)
      wet.push_back({ std::max(from, start_ - 2400), start_ - 1800 });
    return { { "housing", electronics ? "electronics" : "spectrograph" },
             { "from", from },
             { "to", to },
             { "resolution", resolution },
             { "temperature", t },
             { "humidity", h },
             { "dewPoint", d },
             { "wet", wet } };
  }

  const double start_;
  std::mutex mutex_;
  std::condition_variable cv_;
  json current_;
  std::set<std::shared_ptr<Stream>> streams_;
  int housekeepingRequests_ = 0;
  int streamsOpened_ = 0;
};

} // namespace

int main(int argc, char **argv)
{
  int lifetime = 300;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::string(argv[i]) == "--lifetime")
      lifetime = std::atoi(argv[i + 1]);
  Fixture fixture;
  tmx::web::Routes routes;
  fixture.routes(routes);
  tmx::web::HttpServer server(std::move(routes));
  std::string why;
  if (!server.bind("127.0.0.1", 0, why) || !server.start(&why)) {
    std::cerr << "tmx-page-fixture: cannot listen on 127.0.0.1: " << why << "\n";
    return 1;
  }
  std::cout << "PORT " << server.port() << std::endl;
  std::this_thread::sleep_for(std::chrono::seconds(lifetime));
  std::cerr << "tmx-page-fixture: lifetime over\n";
  std::_Exit(2);
}
