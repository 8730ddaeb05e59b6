// The dashboard page served by tmx-web: "/" and "/static/<file>".
#pragma once

#include <cstddef>
#include <memory>

namespace httplib {
class Server;
struct Response;
}

namespace tmx::web {

// Sends size bytes at data as the body, through a content provider of
// known length, which cpp-httplib leaves uncompressed: its brotli at the
// slowest setting takes hundreds of milliseconds for a large answer (a
// 30-day series, dygraphs), for answers that mostly travel on loopback or a
// local network. keep holds data until the reply has been sent (null for
// static data).
void sendUncompressed(httplib::Response &res,
                      const char *data,
                      std::size_t size,
                      const char *contentType,
                      std::shared_ptr<const void> keep = nullptr);

// Serves "/" (the dashboard's index.html) and "/static/<file>" (its script,
// its style and dygraphs), all compiled in at build time. "/" is revalidated
// on every load (ETag); the static files carry the build's version in their
// URL and may be cached for a long time. An unknown static file is a 404.
void addPageRoutes(httplib::Server &server);

} // namespace tmx::web
