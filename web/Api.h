// tmx-web's HTTP interface: /api/current, /api/housekeeping,
// /api/messages, /api/events (server-sent events) and /metrics, over
// cpp-httplib. Only GET (and HEAD) are served: other methods get 405, an
// unknown path 404, bad parameters 400, each with a one-line text/plain
// reason. Nothing here writes to the archive.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "archive/Archive.h"
#include "web/Live.h"
#include "web/Query.h"
#include "web/Subscription.h"

namespace httplib {
class Server;
}

namespace tmx::web {

struct Reply
{
  int status = 200;
  std::string contentType = "application/json";
  std::string body;
};

// What the handlers read.
struct ApiSources
{
  const archive::Archive &archive;
  const LiveState &live;
  EventHub &hub;
  Metrics &metrics;
  std::function<LinkStatus()> link;
  std::function<std::size_t()> dropped; // records dropped before the archive
};

class WebApi
{
public:
  explicit WebApi(ApiSources sources);

  Reply current() const;
  // JSON only; the CSV form is streamed by the route.
  Reply housekeeping(const Params &params) const;
  Reply messages(const Params &params) const;
  Reply metrics() const;

  // Every route of the interface, the 404/405 replies and their reasons.
  void addRoutes(httplib::Server &server);

private:
  Reply housekeeping(const HousekeepingQuery &query) const;

  ApiSources s_;
};

// "ADDR:PORT" ("[ADDR]:PORT" for IPv6; PORT 0 takes any free one). False
// when it is not of that form.
bool parseListen(const std::string &text, std::string &host, int &port);

// The HTTP server on its own threads.
class HttpServer
{
public:
  // maxStreams: SSE clients the hub admits; the server keeps that many
  // threads for them besides those of ordinary requests.
  HttpServer(WebApi &api, std::size_t maxStreams);
  ~HttpServer();
  HttpServer(const HttpServer &) = delete;
  HttpServer &operator=(const HttpServer &) = delete;

  // Binds the listening socket; false with the reason (address in use,
  // not an address of this host).
  bool bind(const std::string &host, int port, std::string &why);
  int port() const { return port_; }
  // Serves on a thread of its own until stop().
  void start();
  void stop();

private:
  std::unique_ptr<httplib::Server> server_;
  int port_ = 0;
  std::atomic<bool> finished_{ false };
  std::thread thread_;
};

} // namespace tmx::web
