// The dashboard page served by tmx-web: "/" and "/static/<file>", as
// Replies (no HTTP library here: web/HttpServer.h serves them).
#pragma once

#include <optional>

#include "web/Reply.h"
#include "web/Request.h"

namespace tmx::web {

// The answer to a GET or HEAD of "/" (the dashboard's index.html) or
// "/static/<file>" (its script, its style and dygraphs), all compiled in at
// build time; nullopt for any other path. "/" is revalidated on every load
// (ETag); the static files carry the build's version in their URL and may
// be cached for a long time, and a single byte range of one is answered
// with 206 (416 when it lies beyond the file). An unknown static file is a
// 404.
std::optional<Reply> pageReply(const Request &request);

} // namespace tmx::web
