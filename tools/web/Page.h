// The dashboard page served by tmx-web: "/" and "/static/<file>".
#pragma once

namespace httplib {
class Server;
}

namespace tmx::web {

// Serves "/" (the dashboard's index.html) and "/static/<file>" (its script,
// its style and dygraphs), all compiled in at build time. "/" is revalidated
// on every load (ETag); the static files carry the build's version in their
// URL and may be cached for a long time. An unknown static file is a 404.
void addPageRoutes(httplib::Server &server);

} // namespace tmx::web
