// tmx-web's HTTP interface as handlers: /api/current, /api/housekeeping
// (JSON, or CSV streamed), /api/messages, /api/events (server-sent events)
// and /metrics, each answering a Reply from the query's Params, and the
// refusals: only GET (and HEAD) are served, other methods get 405, an
// unknown path 404, bad parameters 400, each with a one-line text/plain
// reason. Nothing here knows the HTTP library (web/HttpServer.h binds the
// handlers to it) or writes to the archive.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "archive/Archive.h"
#include "web/EventHub.h"
#include "web/LiveState.h"
#include "web/Metrics.h"
#include "web/Query.h"
#include "web/Reply.h"
#include "web/Subscription.h"

namespace tmx::web {

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
  // JSON, or with format=csv the records streamed (web/CsvExport.h).
  Reply housekeeping(const Params &params) const;
  Reply messages(const Params &params) const;
  Reply metrics() const;
  // The event stream of a new client (its first event the link state),
  // or 503 when the hub admits no more.
  Reply events() const;

  // The refusals of requests no handler takes.
  static Reply notFound(const std::string &path);
  static Reply notAllowed(const std::string &method);
  // Any other refusal without a reason of its own (HTTP status).
  static Reply refused(int status);
  // A handler threw; what: the exception's what(), when it had one.
  static Reply internalError(const std::optional<std::string> &what);

private:
  ApiSources s_;
};

} // namespace tmx::web
