// tmx-web's HTTP interface as handlers: /api/current, /api/housekeeping
// (JSON, or CSV streamed), /api/messages, /api/events (server-sent events)
// and /metrics, each answering a Reply from the query's Params; bad
// parameters get 400 with a one-line text/plain reason (the refusals of
// requests no handler takes are web/Routes.h's). Nothing here knows the HTTP library (web/HttpServer.h binds
// the handlers to it) or writes to the archive.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "archive/Archive.h"
#include "web/AlarmState.h"
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
  const AlarmState *alarms = nullptr;   // for /metrics; none: no alarm figures
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

private:
  ApiSources s_;
};

} // namespace tmx::web
