#include "web/HttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <microhttpd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <thread>
#include <utility>

#include "web/ConnectionDeadlines.h"

namespace tmx::web {

namespace {

// A streamed reply in flight: its producer thread appends to pending,
// the server's thread sends from it. The connection is suspended while
// pending is empty and resumed by the producer; it is never freed while
// suspended (HttpServer::stop joins the producers before the server goes).
struct Stream
{
  static constexpr std::size_t buffered = 64 * 1024; // the producer waits beyond

  std::mutex mutex;
  std::condition_variable changed;
  std::string pending;
  bool ended = false;     // the producer returned
  bool complete = false;  // ... with the whole body
  bool cancelled = false; // the client went away, or the server stops
  bool suspended = false;
  MHD_Connection *connection = nullptr; // null once the reply is dropped
  std::atomic<bool> finished{ false };  // the producer thread is about to end
};

// Resumes the connection when it waits for data. Called with the lock
// held; the resume itself comes after it is released (resume takes the
// server's own locks, which it may hold while it drops a reply).
MHD_Connection *toResume(Stream &s)
{
  if (!s.suspended || s.connection == nullptr)
    return nullptr;
  s.suspended = false;
  return s.connection;
}

void resume(MHD_Connection *connection)
{
  if (connection != nullptr)
    MHD_resume_connection(connection);
}

bool push(Stream &s, const std::string &chunk)
{
  MHD_Connection *waiting = nullptr;
  {
    std::unique_lock<std::mutex> lock(s.mutex);
    s.changed.wait(lock, [&s] { return s.cancelled || s.pending.size() < Stream::buffered; });
    if (s.cancelled)
      return false;
    s.pending += chunk;
    waiting = toResume(s);
  }
  resume(waiting);
  return true;
}

void cancel(Stream &s)
{
  MHD_Connection *waiting = nullptr;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.cancelled = true;
    waiting = toResume(s);
  }
  s.changed.notify_all();
  resume(waiting);
}

ssize_t readStream(void *cls, std::uint64_t, char *buf, std::size_t max)
{
  Stream &s = **static_cast<std::shared_ptr<Stream> *>(cls);
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.cancelled)
    return MHD_CONTENT_READER_END_WITH_ERROR;
  if (!s.pending.empty()) {
    const std::size_t n = std::min(max, s.pending.size());
    std::memcpy(buf, s.pending.data(), n);
    s.pending.erase(0, n);
    s.changed.notify_all();
    return static_cast<ssize_t>(n);
  }
  if (s.ended)
    return s.complete ? MHD_CONTENT_READER_END_OF_STREAM : MHD_CONTENT_READER_END_WITH_ERROR;
  // Suspended under the lock, so that the producer resumes only after this.
  s.suspended = true;
  MHD_suspend_connection(s.connection);
  return 0;
}

void dropStream(void *cls)
{
  auto *held = static_cast<std::shared_ptr<Stream> *>(cls);
  {
    std::lock_guard<std::mutex> lock((*held)->mutex);
    (*held)->cancelled = true;
    (*held)->suspended = false;
    (*held)->connection = nullptr;
  }
  (*held)->changed.notify_all();
  delete held;
}

// A request being read: the body of a POST (empty for any other).
struct Upload
{
  std::string body;
};

struct HeaderSize
{
  unsigned lines = 0;
  std::size_t bytes = 0;
};

MHD_Result countHeader(void *cls,
                       MHD_ValueKind,
                       const char *,
                       std::size_t keySize,
                       const char *,
                       std::size_t valueSize)
{
  auto &size = *static_cast<HeaderSize *>(cls);
  ++size.lines;
  size.bytes += keySize + valueSize + 4; // "KEY: VALUE\r\n"
  return MHD_YES;
}

// Appends each key and value (null: "") to the container at cls: the
// request's headers (a vector of pairs) or its query parameters (Params).
template<class Container>
MHD_Result collect(void *cls,
                   MHD_ValueKind,
                   const char *key,
                   std::size_t keySize,
                   const char *value,
                   std::size_t valueSize)
{
  auto &out = *static_cast<Container *>(cls);
  out.insert(out.end(), { std::string(key, keySize), value ? std::string(value, valueSize) : std::string() });
  return MHD_YES;
}

// The client's address as numeric text; empty when the library cannot tell.
std::string peerOf(MHD_Connection *connection)
{
  const MHD_ConnectionInfo *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  char text[INET6_ADDRSTRLEN] = "";
  if (info == nullptr || info->client_addr == nullptr)
    return text;
  const sockaddr *a = info->client_addr;
  if (a->sa_family == AF_INET)
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(a)->sin_addr, text, sizeof text);
  else if (a->sa_family == AF_INET6)
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(a)->sin6_addr, text, sizeof text);
  return text;
}

} // namespace

class HttpServer::Impl
{
public:
  Impl(Routes routes, HttpOptions options)
    : routes_(std::move(routes))
    , options_(options)
  {
  }

  ~Impl()
  {
    stop();
    if (fd_ >= 0 && daemon_ == nullptr && !started_)
      ::close(fd_);
  }

  bool bind(const std::string &host, int port, std::string &why);
  bool start(std::string *why);
  void stop();
  int port() const { return port_; }

private:
  static MHD_Result access(void *cls,
                           MHD_Connection *connection,
                           const char *url,
                           const char *method,
                           const char *version,
                           const char *uploadData,
                           std::size_t *uploadSize,
                           void **context);
  static void completed(void *cls, MHD_Connection *, void **context, MHD_RequestTerminationCode);
  static void notify(void *cls, MHD_Connection *connection, void **, MHD_ConnectionNotificationCode code);

  MHD_Result first(MHD_Connection *connection, const char *url, const char *method, void **context);
  MHD_Result answer(MHD_Connection *connection, const char *url, const char *method, std::string body);
  MHD_Result queue(MHD_Connection *connection, Reply reply, bool close);
  void produce(const std::shared_ptr<Stream> &stream, BodyStream body);
  // Producers that have not finished.
  std::size_t streamsInFlight();

  const Routes routes_;
  const HttpOptions options_;
  int fd_ = -1;
  int port_ = 0;
  bool started_ = false;
  std::unique_ptr<ConnectionDeadlines> deadlines_;
  MHD_Daemon *daemon_ = nullptr;

  struct Producer
  {
    std::shared_ptr<Stream> stream;
    std::thread thread;
  };
  std::mutex producersMutex_;
  std::list<Producer> producers_;
  bool stopping_ = false; // guarded by producersMutex_
};

bool HttpServer::Impl::bind(const std::string &host, int port, std::string &why)
{
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo *found = nullptr;
  const std::string service = std::to_string(port);
  if (int e = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &found)) {
    why = ::gai_strerror(e);
    return false;
  }
  why = "cannot bind";
  for (addrinfo *a = found; a != nullptr && fd_ < 0; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) {
      why = std::strerror(errno);
      continue;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, HttpServer::listenBacklog) != 0) {
      why = std::strerror(errno);
      ::close(fd);
      continue;
    }
    fd_ = fd;
  }
  ::freeaddrinfo(found);
  if (fd_ < 0)
    return false;
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  ::getsockname(fd_, reinterpret_cast<sockaddr *>(&bound), &length);
  port_ = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6 &>(bound).sin6_port)
                                      : ntohs(reinterpret_cast<sockaddr_in &>(bound).sin_port);
  return true;
}

bool HttpServer::Impl::start(std::string *why)
{
  if (started_ || fd_ < 0)
    return started_;
  deadlines_ = std::make_unique<ConnectionDeadlines>(std::chrono::seconds(options_.requestSeconds),
                                                     std::chrono::milliseconds(500));
  daemon_ = MHD_start_daemon(MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME,
                             0,
                             nullptr,
                             nullptr,
                             &Impl::access,
                             this,
                             MHD_OPTION_LISTEN_SOCKET,
                             static_cast<MHD_socket>(fd_),
                             MHD_OPTION_THREAD_POOL_SIZE,
                             options_.threads,
                             MHD_OPTION_CONNECTION_LIMIT,
                             options_.maxConnections,
                             MHD_OPTION_PER_IP_CONNECTION_LIMIT,
                             options_.maxPerAddress,
                             MHD_OPTION_CONNECTION_TIMEOUT,
                             options_.timeoutSeconds,
                             MHD_OPTION_CONNECTION_MEMORY_LIMIT,
                             options_.memoryPerConnection,
                             MHD_OPTION_STRICT_FOR_CLIENT,
                             1,
                             MHD_OPTION_NOTIFY_COMPLETED,
                             &Impl::completed,
                             this,
                             MHD_OPTION_NOTIFY_CONNECTION,
                             &Impl::notify,
                             this,
                             MHD_OPTION_END);
  if (daemon_ == nullptr) {
    if (why)
      *why = "cannot start the HTTP server";
    return false;
  }
  started_ = true; // the daemon owns the socket now
  return true;
}

void HttpServer::Impl::stop()
{
  std::list<Producer> producers;
  {
    std::lock_guard<std::mutex> lock(producersMutex_);
    stopping_ = true;
    producers.swap(producers_);
  }
  for (auto &p : producers)
    cancel(*p.stream);
  for (auto &p : producers)
    p.thread.join();
  if (daemon_ != nullptr) {
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
    fd_ = -1;
  }
  deadlines_.reset();
}

void HttpServer::Impl::produce(const std::shared_ptr<Stream> &stream, BodyStream body)
{
  std::lock_guard<std::mutex> lock(producersMutex_);
  for (auto it = producers_.begin(); it != producers_.end();) {
    if (it->stream->finished) {
      it->thread.join();
      it = producers_.erase(it);
    } else {
      ++it;
    }
  }
  if (stopping_) {
    std::lock_guard<std::mutex> streamLock(stream->mutex);
    stream->cancelled = true;
  }
  producers_.push_back({ stream, std::thread([stream, body = std::move(body)]() mutable {
                           bool complete = false;
                           try {
                             complete =
                               body([&stream](const std::string &chunk) { return push(*stream, chunk); });
                           } catch (const std::exception &) {
                             // Broken off: the client sees an incomplete transfer.
                           }
                           body = nullptr; // what the stream holds goes with it
                           MHD_Connection *waiting = nullptr;
                           {
                             std::lock_guard<std::mutex> lock(stream->mutex);
                             stream->ended = true;
                             stream->complete = complete;
                             waiting = toResume(*stream);
                           }
                           resume(waiting);
                           stream->finished = true;
                         }) });
}

std::size_t HttpServer::Impl::streamsInFlight()
{
  std::lock_guard<std::mutex> lock(producersMutex_);
  std::size_t n = 0;
  for (const auto &p : producers_)
    n += p.stream->finished ? 0 : 1;
  return n;
}

MHD_Result HttpServer::Impl::queue(MHD_Connection *connection, Reply reply, bool close)
{
  if (reply.stream && streamsInFlight() >= options_.maxStreams) {
    // Dropping the stream gives back what it holds (an event-stream place).
    reply = textReply(503,
                      "busy: " + std::to_string(options_.maxStreams) +
                        " streamed answers are in progress; try again later");
    reply.headers.emplace_back("X-Content-Type-Options", "nosniff");
  }
  MHD_Response *response = nullptr;
  std::shared_ptr<Stream> stream;
  if (reply.stream) {
    stream = std::make_shared<Stream>();
    stream->connection = connection;
    auto *held = new std::shared_ptr<Stream>(stream);
    response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 16 * 1024, &readStream, held, &dropStream);
    if (response == nullptr) {
      delete held;
      return MHD_NO;
    }
  } else {
    response = MHD_create_response_from_buffer(
      reply.body.size(), const_cast<char *>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr)
      return MHD_NO;
  }
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.contentType.c_str());
  for (const auto &h : reply.headers)
    MHD_add_response_header(response, h.first.c_str(), h.second.c_str());
  if (close)
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
  const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(reply.status), response);
  MHD_destroy_response(response);
  if (stream && queued == MHD_YES)
    produce(stream, std::move(reply.stream));
  return queued;
}

MHD_Result HttpServer::Impl::answer(MHD_Connection *connection,
                                    const char *url,
                                    const char *method,
                                    std::string body)
{
  Request request;
  request.method = method;
  request.path = url;
  request.body = std::move(body);
  request.peer = peerOf(connection);
  MHD_get_connection_values_n(connection, MHD_GET_ARGUMENT_KIND, &collect<Params>, &request.params);
  MHD_get_connection_values_n(
    connection, MHD_HEADER_KIND, &collect<decltype(request.headers)>, &request.headers);
  return queue(connection, routes_.answer(request), false);
}

MHD_Result HttpServer::Impl::first(MHD_Connection *connection,
                                   const char *url,
                                   const char *method,
                                   void **context)
{
  HeaderSize size;
  MHD_get_connection_values_n(connection, MHD_HEADER_KIND, &countHeader, &size);
  if (size.lines > maxHeaderLines || size.bytes > maxHeaderBytes) {
    Reply reply =
      textReply(431,
                "request refused: more than " + std::to_string(maxHeaderLines) + " header lines or " +
                  std::to_string(maxHeaderBytes / 1024) + " KiB of headers");
    reply.headers.emplace_back("X-Content-Type-Options", "nosniff");
    return queue(connection, std::move(reply), true);
  }
  const char *length =
    MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
  const char *encoding =
    MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING);
  const bool hasBody = encoding != nullptr || (length != nullptr && std::strcmp(length, "0") != 0);
  // Answered on the next call, as for a body: an answer queued now would
  // close the connection, and pipelined requests would go unanswered.
  if (!hasBody) {
    *context = new Upload;
    return MHD_YES;
  }

  // A body nothing reads is refused and the connection closed after the
  // answer: the rest of it is never taken for a request of its own.
  if (!routes_.takesBody(method, url)) {
    const bool get = std::strcmp(method, "GET") == 0 || std::strcmp(method, "HEAD") == 0;
    Reply reply = get ? textReply(400, "request refused: a " + std::string(method) + " request has no body")
                      : routes_.answer(Request{ method, url, {}, {}, {}, peerOf(connection) });
    if (get)
      reply.headers.emplace_back("X-Content-Type-Options", "nosniff");
    return queue(connection, std::move(reply), true);
  }
  std::uint64_t declared = 0;
  if (length != nullptr) {
    auto r = std::from_chars(length, length + std::strlen(length), declared);
    if (r.ec != std::errc() || declared > maxBodyBytes) {
      Reply reply =
        textReply(413, "request refused: a body of at most " + std::to_string(maxBodyBytes / 1024) + " KiB");
      reply.headers.emplace_back("X-Content-Type-Options", "nosniff");
      return queue(connection, std::move(reply), true);
    }
  }
  *context = new Upload;
  return MHD_YES;
}

MHD_Result HttpServer::Impl::access(void *cls,
                                    MHD_Connection *connection,
                                    const char *url,
                                    const char *method,
                                    const char *,
                                    const char *uploadData,
                                    std::size_t *uploadSize,
                                    void **context)
{
  auto &self = *static_cast<Impl *>(cls);
  try {
    if (*context == nullptr)
      return self.first(connection, url, method, context);
    auto &upload = *static_cast<Upload *>(*context);
    if (*uploadSize != 0) {
      // Too long a chunked body: the connection is closed without an answer.
      if (upload.body.size() + *uploadSize > maxBodyBytes)
        return MHD_NO;
      upload.body.append(uploadData, *uploadSize);
      *uploadSize = 0;
      return MHD_YES;
    }
    return self.answer(connection, url, method, std::move(upload.body));
  } catch (const std::exception &) {
    return MHD_NO; // out of memory or a thread: the connection is closed
  }
}

void HttpServer::Impl::completed(void *cls,
                                 MHD_Connection *connection,
                                 void **context,
                                 MHD_RequestTerminationCode)
{
  delete static_cast<Upload *>(*context);
  *context = nullptr;
  static_cast<Impl *>(cls)->deadlines_->idle(connection);
}

void HttpServer::Impl::notify(void *cls,
                              MHD_Connection *connection,
                              void **,
                              MHD_ConnectionNotificationCode code)
{
  ConnectionDeadlines &deadlines = *static_cast<Impl *>(cls)->deadlines_;
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    const MHD_ConnectionInfo *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info != nullptr)
      deadlines.started(connection, info->connect_fd);
  } else {
    deadlines.closed(connection);
  }
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

HttpServer::HttpServer(Routes routes, HttpOptions options)
  : impl_(std::make_unique<Impl>(std::move(routes), options))
{
}

HttpServer::~HttpServer() = default;

bool HttpServer::bind(const std::string &host, int port, std::string &why)
{
  return impl_->bind(host, port, why);
}

int HttpServer::port() const
{
  return impl_->port();
}

bool HttpServer::start(std::string *why)
{
  return impl_->start(why);
}

void HttpServer::stop()
{
  impl_->stop();
}

} // namespace tmx::web
