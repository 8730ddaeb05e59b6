#include "Page.h"

#include <httplib.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

namespace tmx::web {
namespace page {
struct Asset
{
  const char *name;
  const unsigned char *data;
  std::size_t size;
};
extern const Asset assets[];
extern const std::size_t assetCount;
extern const char version[];
} // namespace page

namespace {

const page::Asset *findAsset(const std::string &name)
{
  for (std::size_t i = 0; i < page::assetCount; ++i) {
    if (name == page::assets[i].name)
      return &page::assets[i];
  }
  return nullptr;
}

const char *contentType(const std::string &name)
{
  auto endsWith = [&name](const char *suffix) {
    const std::size_t n = std::strlen(suffix);
    return name.size() >= n && name.compare(name.size() - n, n, suffix) == 0;
  };
  if (endsWith(".html"))
    return "text/html; charset=utf-8";
  if (endsWith(".js"))
    return "text/javascript; charset=utf-8";
  if (endsWith(".css"))
    return "text/css; charset=utf-8";
  return "application/octet-stream";
}

// The ETag is the build's version: every asset changes only with a new build.
void serve(const page::Asset &asset,
           const char *cacheControl,
           const httplib::Request &req,
           httplib::Response &res)
{
  const std::string etag = std::string("\"") + page::version + "\"";
  res.set_header("Cache-Control", cacheControl);
  res.set_header("ETag", etag);
  res.set_header("X-Content-Type-Options", "nosniff");
  if (req.get_header_value("If-None-Match") == etag) {
    res.status = 304;
    return;
  }
  sendUncompressed(res, reinterpret_cast<const char *>(asset.data), asset.size, contentType(asset.name));
}

} // namespace

void sendUncompressed(httplib::Response &res,
                      const char *data,
                      std::size_t size,
                      const char *contentType,
                      std::shared_ptr<const void> keep)
{
  res.set_content_provider(
    size, contentType, [data, size, keep](std::size_t offset, std::size_t length, httplib::DataSink &sink) {
      return sink.write(data + offset, std::min(length, size - offset));
    });
}

void addPageRoutes(httplib::Server &server)
{
  server.Get("/", [](const httplib::Request &req, httplib::Response &res) {
    serve(*findAsset("index.html"), "no-cache", req, res);
  });
  server.Get(R"(/static/([A-Za-z0-9._-]+))", [](const httplib::Request &req, httplib::Response &res) {
    const std::string name = req.matches[1];
    const page::Asset *asset = name == "index.html" ? nullptr : findAsset(name);
    if (asset == nullptr) {
      res.status = 404;
      res.set_content("no such file: " + name + "\n", "text/plain; charset=utf-8");
      return;
    }
    // The page asks for "/static/<file>?v=<version>", so a new build is a new URL.
    serve(*asset, "public, max-age=31536000, immutable", req, res);
  });
}

} // namespace tmx::web
