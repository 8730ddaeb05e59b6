// tmx-web's HTTP server: a route table (web/Routes.h; tmx-web's own is
// web/WebRoutes.h) served by GNU
// libmicrohttpd on a pool of threads of its own, each waiting on its
// connections with epoll, so that idle or slow clients hold only a socket
// and a bounded buffer, never a thread. The only part of tmx-web that
// knows the HTTP library.
//
// What any request meets: connections are limited in all and per client
// address, and closed after timeoutSeconds without traffic or when a whole
// request has not come within requestSeconds; a request has
// at most 100 header lines and 16 KiB of them (431 beyond); a body is read
// only for a POST route that takes one (at most 64 KiB, else 413) and is
// otherwise refused (400 for a GET or HEAD, 405 for another method) with
// the connection closed, so that it is never taken for a next request.
// Pipelined requests are answered in order. Streamed replies are produced
// on a thread each and sent as they come.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "web/Routes.h"

namespace tmx::web {

// "ADDR:PORT" ("[ADDR]:PORT" for IPv6; PORT 0 takes any free one). False
// when it is not of that form.
bool parseListen(const std::string &text, std::string &host, int &port);

struct HttpOptions
{
  unsigned maxConnections = 4000;
  unsigned maxPerAddress = 256; // from one client address
  unsigned timeoutSeconds = 10; // without traffic
  // For a whole request (line and headers) to arrive, from the connection's
  // start or the end of the previous answer (web/ConnectionDeadlines.h).
  unsigned requestSeconds = 20;
  unsigned threads = 4;
  // Holds a request's line, its headers and the answer's headers.
  std::size_t memoryPerConnection = 64 * 1024;
  // Streamed answers (event streams, CSV exports) in progress at once, each
  // on a thread of its own; beyond it a request gets 503.
  std::size_t maxStreams = 128;
};

class HttpServer
{
public:
  static constexpr unsigned maxHeaderLines = 100;
  static constexpr std::size_t maxHeaderBytes = 16 * 1024;
  static constexpr std::size_t maxBodyBytes = 64 * 1024;
  static constexpr int listenBacklog = 512;

  explicit HttpServer(Routes routes, HttpOptions options = HttpOptions());
  ~HttpServer();
  HttpServer(const HttpServer &) = delete;
  HttpServer &operator=(const HttpServer &) = delete;

  // Binds the listening socket; false with the reason (address in use,
  // not an address of this host).
  bool bind(const std::string &host, int port, std::string &why);
  int port() const;
  // Serves on threads of its own until stop(); false (with the reason)
  // when the server cannot start.
  bool start(std::string *why = nullptr);
  // Stops serving; streamed replies are broken off, their threads joined.
  void stop();

  class Impl;

private:
  std::unique_ptr<Impl> impl_;
};

} // namespace tmx::web
