// tmx-web's routes: any request (method, path, query, header lines) gets
// one well-formed answer: a real status, header lines without line breaks,
// "X-Content-Type-Options: nosniff", a refusal as one printable line, and
// a range of a static file that matches its Content-Range.
//
// Input: the method, the path and the query on the first three lines, then
// one "Name: value" header per line.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "web/Query.h"
#include "web/Routes.h"
#include "web/page/Page.h"

namespace {

using namespace tmx::web;

// Stand-ins for WebApi's handlers: the same paths and query checks.
const Routes &routes()
{
  static const Routes table = [] {
    Routes r;
    const double now = 1765188000.0;
    r.get("/api/current", [](const Request &) { return Reply{ 200, "application/json", "{}", {}, {} }; });
    r.get("/api/housekeeping", [now](const Request &q) {
      auto parsed = parseHousekeepingQuery(q.params, now);
      if (auto *reason = std::get_if<std::string>(&parsed))
        return textReply(400, *reason);
      return Reply{ 200, "application/json", "{}", {}, {} };
    });
    r.get("/api/messages", [now](const Request &q) {
      auto parsed = parseMessagesQuery(q.params, now);
      if (auto *reason = std::get_if<std::string>(&parsed))
        return textReply(400, *reason);
      return Reply{ 200, "application/json", "{}", {}, {} };
    });
    r.get("/api/fails", [](const Request &q) -> Reply { throw std::runtime_error(q.path); });
    r.post("/test/post", [](const Request &q) { return Reply{ 200, "text/plain", q.body, {}, {} }; });
    r.fallback(&pageReply);
    return r;
  }();
  return table;
}

// The next line from at (without its '\n'), "" past the end.
std::string line(const std::string &text, std::size_t &at)
{
  if (at >= text.size())
    return {};
  const std::size_t end = std::min(text.find('\n', at), text.size());
  std::string out = text.substr(at, end - at);
  at = end + 1;
  return out;
}

void check(bool ok)
{
  if (!ok)
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
  const std::string text(reinterpret_cast<const char *>(data), size);
  std::size_t at = 0;
  Request request;
  request.method = line(text, at);
  request.path = line(text, at);
  const std::string query = line(text, at);
  for (std::size_t p = 0; p < query.size();) {
    const std::size_t end = std::min(query.find('&', p), query.size());
    const std::string pair = query.substr(p, end - p);
    const std::size_t eq = pair.find('=');
    request.params.emplace(pair.substr(0, eq), eq == std::string::npos ? "" : pair.substr(eq + 1));
    p = end + 1;
  }
  while (at < text.size()) {
    const std::string h = line(text, at);
    const std::size_t colon = h.find(": ");
    if (colon != std::string::npos)
      request.headers.emplace_back(h.substr(0, colon), h.substr(colon + 2));
  }

  const Reply reply = routes().answer(request);
  check(reply.status >= 200 && reply.status <= 599);
  bool nosniff = false;
  for (const auto &h : reply.headers) {
    check(h.first.find_first_of("\r\n:") == std::string::npos &&
          h.second.find_first_of("\r\n") == std::string::npos);
    nosniff |= h.first == "X-Content-Type-Options" && h.second == "nosniff";
  }
  check(nosniff && reply.contentType.find_first_of("\r\n") == std::string::npos);
  if (reply.status >= 400 && reply.status != 416 && reply.contentType.rfind("text/plain", 0) == 0) {
    // One line; what it quotes of the request is escaped (the query
    // checks' reasons quote nothing but ASCII).
    check(!reply.body.empty() && reply.body.find('\n') == reply.body.size() - 1);
    for (std::size_t i = 0; i + 1 < reply.body.size(); ++i)
      check(static_cast<unsigned char>(reply.body[i]) >= 0x20 &&
            static_cast<unsigned char>(reply.body[i]) < 0x7f);
  }
  if (reply.status == 206) {
    std::string range;
    for (const auto &h : reply.headers)
      if (h.first == "Content-Range")
        range = h.second;
    unsigned long first = 0, last = 0, total = 0;
    check(std::sscanf(range.c_str(), "bytes %lu-%lu/%lu", &first, &last, &total) == 3);
    check(first <= last && last < total && reply.body.size() == last - first + 1);
  }
  return 0;
}
