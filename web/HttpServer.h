// tmx-web's HTTP server: the handlers of WebApi and the dashboard page
// bound to cpp-httplib, served on threads of its own. The only part of
// tmx-web (besides the page's own routes, web/page/) that knows the HTTP
// library.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>

#include "web/Api.h"

namespace httplib {
class Server;
}

namespace tmx::web {

// "ADDR:PORT" ("[ADDR]:PORT" for IPv6; PORT 0 takes any free one). False
// when it is not of that form.
bool parseListen(const std::string &text, std::string &host, int &port);

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
  // Stops serving; streamed replies end at their next piece.
  void stop();

private:
  std::atomic<bool> stopping_{ false }; // read by the routes: outlives server_
  std::unique_ptr<httplib::Server> server_;
  int port_ = 0;
  std::atomic<bool> finished_{ false };
  std::thread thread_;
};

} // namespace tmx::web
