#include "web/Routes.h"

#include <cstdio>
#include <exception>
#include <utility>

namespace tmx::web {

void Routes::get(const std::string &path, Handler handler)
{
  gets_[path] = std::move(handler);
}

void Routes::post(const std::string &path, Handler handler)
{
  posts_[path] = std::move(handler);
}

void Routes::postUnder(const std::string &prefix, Handler handler)
{
  postPrefixes_.emplace_back(prefix, std::move(handler));
}

const Routes::Handler *Routes::postHandler(const std::string &path) const
{
  auto it = posts_.find(path);
  if (it != posts_.end())
    return &it->second;
  for (const auto &p : postPrefixes_)
    if (path.size() > p.first.size() && path.compare(0, p.first.size(), p.first) == 0)
      return &p.second;
  return nullptr;
}

void Routes::fallback(Fallback fallback)
{
  fallbacks_.push_back(std::move(fallback));
}

bool Routes::takesBody(const std::string &method, const std::string &path) const
{
  return method == "POST" && postHandler(path) != nullptr;
}

Reply Routes::dispatch(const Request &request) const
{
  const bool get = request.method == "GET" || request.method == "HEAD";
  if (get) {
    auto it = gets_.find(request.path);
    if (it != gets_.end())
      return it->second(request);
    for (const auto &f : fallbacks_)
      if (std::optional<Reply> reply = f(request))
        return std::move(*reply);
    return notFound(request.path);
  }
  if (request.method == "POST") {
    if (const Handler *handler = postHandler(request.path))
      return (*handler)(request);
  }
  return notAllowed(request.method);
}

Reply Routes::answer(const Request &request) const
{
  Reply reply;
  try {
    reply = dispatch(request);
  } catch (const std::exception &e) {
    reply = internalError(std::string(e.what()));
  } catch (...) {
    reply = internalError(std::nullopt);
  }
  reply.headers.emplace_back("X-Content-Type-Options", "nosniff");
  return reply;
}

std::string printable(const std::string &text)
{
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7f || c == '\\') {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", u);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

Reply textReply(int status, const std::string &reason)
{
  return { status, "text/plain; charset=utf-8", reason + "\n", {}, {} };
}

Reply notFound(const std::string &path)
{
  return textReply(404, "no such path: " + printable(path));
}

Reply notAllowed(const std::string &method)
{
  Reply reply = textReply(405, "method " + printable(method) + " not allowed (only GET)");
  reply.headers.emplace_back("Allow", "GET, HEAD");
  return reply;
}

Reply refused(int status)
{
  return textReply(status, "request refused (HTTP " + std::to_string(status) + ")");
}

Reply internalError(const std::optional<std::string> &what)
{
  return textReply(500, what ? "internal error: " + printable(*what) : std::string("internal error"));
}

} // namespace tmx::web
