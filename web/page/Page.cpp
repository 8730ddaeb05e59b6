#include "Page.h"

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

bool validName(const std::string &name)
{
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
  });
}

// A decimal number of digits only, at most max.
bool number(const std::string &text, std::size_t max, std::size_t &value)
{
  if (text.empty() || text.size() > 19)
    return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return false;
    value = value * 10 + static_cast<std::size_t>(c - '0');
  }
  return value <= max;
}

struct Range
{
  enum Kind
  {
    whole,
    part,
    unsatisfiable
  } kind = whole;
  std::size_t first = 0, last = 0;
};

// "bytes=A-B", "bytes=A-" or "bytes=-N" of a file of size bytes. Anything
// else (several ranges, another unit, a malformed header) is ignored and
// the whole file sent, as HTTP allows.
Range byteRange(const std::string *header, std::size_t size)
{
  Range r;
  const std::string prefix = "bytes=";
  if (header == nullptr || header->compare(0, prefix.size(), prefix) != 0)
    return r;
  const std::string spec = header->substr(prefix.size());
  const auto dash = spec.find('-');
  if (dash == std::string::npos || spec.find(',') != std::string::npos)
    return r;
  const std::string a = spec.substr(0, dash), b = spec.substr(dash + 1);
  const std::size_t huge = static_cast<std::size_t>(-1) / 16;
  std::size_t first = 0, last = 0;
  if (a.empty()) {
    std::size_t n = 0;
    if (!number(b, huge, n))
      return r;
    if (n == 0 || size == 0) {
      r.kind = Range::unsatisfiable;
      return r;
    }
    first = size - std::min(n, size);
    last = size - 1;
  } else {
    if (!number(a, huge, first) || (!b.empty() && !number(b, huge, last)) || (!b.empty() && last < first))
      return r;
    if (first >= size) {
      r.kind = Range::unsatisfiable;
      return r;
    }
    last = b.empty() ? size - 1 : std::min(last, size - 1);
  }
  r.kind = Range::part;
  r.first = first;
  r.last = last;
  return r;
}

// The ETag is the build's version: every asset changes only with a new build.
Reply serve(const page::Asset &asset, const char *cacheControl, bool ranges, const Request &request)
{
  const std::string etag = std::string("\"") + page::version + "\"";
  Reply reply{ 200, contentType(asset.name), {}, {}, {} };
  reply.headers = { { "Cache-Control", cacheControl }, { "ETag", etag } };
  const std::string *match = request.header("If-None-Match");
  if (match != nullptr && *match == etag) {
    reply.status = 304;
    return reply;
  }
  const char *data = reinterpret_cast<const char *>(asset.data);
  if (!ranges) {
    reply.body.assign(data, asset.size);
    return reply;
  }
  reply.headers.emplace_back("Accept-Ranges", "bytes");
  // A range of an older version (If-Range with another ETag) is the whole file.
  const std::string *ifRange = request.header("If-Range");
  const Range r =
    ifRange != nullptr && *ifRange != etag ? Range() : byteRange(request.header("Range"), asset.size);
  switch (r.kind) {
    case Range::whole:
      reply.body.assign(data, asset.size);
      break;
    case Range::part:
      reply.status = 206;
      reply.body.assign(data + r.first, r.last - r.first + 1);
      reply.headers.emplace_back("Content-Range",
                                 "bytes " + std::to_string(r.first) + "-" + std::to_string(r.last) + "/" +
                                   std::to_string(asset.size));
      break;
    case Range::unsatisfiable:
      reply.status = 416;
      reply.contentType = "text/plain; charset=utf-8";
      reply.body = "range not satisfiable\n";
      reply.headers.emplace_back("Content-Range", "bytes */" + std::to_string(asset.size));
      break;
  }
  return reply;
}

} // namespace

std::optional<Reply> pageReply(const Request &request)
{
  if (request.path == "/")
    return serve(*findAsset("index.html"), "no-cache", false, request);
  const std::string prefix = "/static/";
  if (request.path.compare(0, prefix.size(), prefix) != 0)
    return std::nullopt;
  const std::string name = request.path.substr(prefix.size());
  if (!validName(name))
    return std::nullopt;
  const page::Asset *asset = name == "index.html" ? nullptr : findAsset(name);
  if (asset == nullptr)
    return Reply{ 404, "text/plain; charset=utf-8", "no such file: " + name + "\n", {}, {} };
  // The page asks for "/static/<file>?v=<version>", so a new build is a new URL.
  return serve(*asset, "public, max-age=31536000, immutable", true, request);
}

} // namespace tmx::web
