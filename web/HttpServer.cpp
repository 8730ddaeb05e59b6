#include "web/HttpServer.h"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>

#include <httplib.h>

#include "web/page/Page.h"

namespace tmx::web {

namespace {

// Sends the reply. A whole body goes uncompressed (sendUncompressed); a
// refusal as a plain body, which the error handler recognises as already
// answered; a stream chunked, piece by piece, until it ends or `stopping`.
void send(httplib::Response &res, Reply reply, const std::atomic<bool> &stopping)
{
  res.status = reply.status;
  for (const auto &h : reply.headers)
    res.set_header(h.first.c_str(), h.second);
  if (reply.stream) {
    res.set_chunked_content_provider(
      reply.contentType.c_str(),
      [stream = std::move(reply.stream), &stopping](std::size_t, httplib::DataSink &sink) {
        const ChunkSink toClient = [&sink, &stopping](const std::string &chunk) {
          return !stopping && sink.write(chunk.data(), chunk.size());
        };
        if (!stream(toClient))
          return false;
        sink.done();
        return true;
      });
    return;
  }
  if (reply.status >= 400) {
    res.set_content(reply.body, reply.contentType.c_str());
    return;
  }
  auto body = std::make_shared<const std::string>(std::move(reply.body));
  sendUncompressed(res, body->data(), body->size(), reply.contentType.c_str(), body);
}

// Every route of the interface, the 404/405 replies and their reasons.
void addRoutes(httplib::Server &server, WebApi &api, const std::atomic<bool> &stopping)
{
  const auto get = [&server, &stopping](const char *path,
                                        std::function<Reply(const httplib::Request &)> handler) {
    server.Get(
      path, [handler = std::move(handler), &stopping](const httplib::Request &req, httplib::Response &res) {
        send(res, handler(req), stopping);
      });
  };
  get("/api/current", [&api](const httplib::Request &) { return api.current(); });
  get("/api/messages", [&api](const httplib::Request &req) { return api.messages(req.params); });
  get("/metrics", [&api](const httplib::Request &) { return api.metrics(); });
  get("/api/housekeeping", [&api](const httplib::Request &req) { return api.housekeeping(req.params); });
  get("/api/events", [&api](const httplib::Request &) { return api.events(); });

  // Only GET and HEAD are served.
  const auto notAllowed = [&stopping](const httplib::Request &req, httplib::Response &res) {
    send(res, WebApi::notAllowed(req.method), stopping);
  };
  server.Post(".*", notAllowed);
  server.Put(".*", notAllowed);
  server.Patch(".*", notAllowed);
  server.Delete(".*", notAllowed);
  server.Options(".*", notAllowed);

  // Replies without a body of their own get a one-line reason.
  server.set_error_handler([&stopping](const httplib::Request &req, httplib::Response &res) {
    if (!res.body.empty())
      return;
    send(res, res.status == 404 ? WebApi::notFound(req.path) : WebApi::refused(res.status), stopping);
  });
  server.set_exception_handler(
    [&stopping](const httplib::Request &, httplib::Response &res, std::exception_ptr e) {
      std::optional<std::string> what;
      try {
        if (e)
          std::rethrow_exception(e);
      } catch (const std::exception &x) {
        what = x.what();
      } catch (...) {
      }
      send(res, WebApi::internalError(what), stopping);
    });
}

} // namespace

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
  addRoutes(*server_, api, stopping_);

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
  stopping_ = true;
  // stop() does nothing before the server runs: wait (bounded) for that.
  for (int i = 0; i < 2000 && !server_->is_running() && !finished_; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  server_->stop();
  thread_.join();
}

} // namespace tmx::web
