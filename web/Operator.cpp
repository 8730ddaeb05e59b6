#include "web/Operator.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "web/Json.h"
#include "web/Routes.h"

namespace tmx::web {

namespace {

constexpr std::size_t maxNameBytes = 128;

// An IPv4 address as its IPv4-mapped IPv6 form, so that "127.0.0.1" and
// "::ffff:127.0.0.1" compare equal.
std::optional<in6_addr> parseAddress(const std::string &text)
{
  in6_addr a{};
  in_addr v4{};
  if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    a.s6_addr[10] = a.s6_addr[11] = 0xff;
    std::memcpy(&a.s6_addr[12], &v4, sizeof v4);
    return a;
  }
  if (::inet_pton(AF_INET6, text.c_str(), &a) == 1)
    return a;
  return std::nullopt;
}

bool isLoopback(const in6_addr &a)
{
  return IN6_IS_ADDR_LOOPBACK(&a) || (IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127);
}

bool isTrusted(const in6_addr &peer, const OperatorOptions &options)
{
  static const std::vector<std::string> defaults{ "127.0.0.1", "::1" };
  const auto &proxies = options.trustedProxies.empty() ? defaults : options.trustedProxies;
  return std::any_of(proxies.begin(), proxies.end(), [&peer](const std::string &p) {
    const std::optional<in6_addr> proxy = parseAddress(p);
    return proxy && IN6_ARE_ADDR_EQUAL(&*proxy, &peer);
  });
}

std::string lower(std::string text)
{
  for (char &c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string trimmed(const std::string &text)
{
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos)
    return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::size_t headerCount(const Request &request, const std::string &name)
{
  return static_cast<std::size_t>(
    std::count_if(request.headers.begin(), request.headers.end(), [&name](const auto &h) {
      return lower(h.first) == lower(name);
    }));
}

Authority refuse(int status, const std::string &reason)
{
  return { std::nullopt, textReply(status, "request refused: " + reason) };
}

// The operator's side of authorise: who acts, or why nobody does.
Authority judge(const Request &request, const OperatorOptions &options)
{
  if (!options.header && !options.localOperator)
    return { std::nullopt,
             textReply(403, "read-only: start tmx-web with --operator-header or --local-operator") };
  const std::optional<in6_addr> peer = parseAddress(request.peer);
  const std::string from = request.peer.empty() ? "an unknown address" : printable(request.peer);
  if (options.header) {
    const std::string &header = *options.header;
    // Two values are two claims: neither is taken.
    const std::size_t values = headerCount(request, header);
    if (peer && isTrusted(*peer, options)) {
      if (values == 0)
        return refuse(401, "no operator: the proxy sent no " + header + " header");
      std::optional<std::string> name =
        values == 1 ? operatorName(*request.header(header.c_str())) : std::nullopt;
      if (!name)
        return refuse(403, "the " + header + " header is not one operator's name (1 to 128 printable bytes)");
      return { std::move(name), {} };
    }
    if (values != 0)
      return refuse(403,
                    "the " + header +
                      " header is honoured only from a trusted proxy (--trusted-proxy), not from " + from);
  }
  if (options.localOperator && peer && isLoopback(*peer))
    return { options.localOperator, {} };
  if (!options.header)
    return refuse(403, "only requests from this host act as the local operator, not from " + from);
  return refuse(403,
                std::string("only requests through a trusted proxy") +
                  (options.localOperator ? " or from this host" : "") + " may act on alarms, not from " +
                  from);
}

// application/json, with at most "; charset=utf-8".
bool isJsonType(const std::string *type)
{
  if (type == nullptr)
    return false;
  const auto semicolon = type->find(';');
  if (lower(trimmed(type->substr(0, semicolon))) != "application/json")
    return false;
  if (semicolon == std::string::npos)
    return true;
  const std::string parameter = lower(trimmed(type->substr(semicolon + 1)));
  return parameter == "charset=utf-8" || parameter == "charset=\"utf-8\"";
}

} // namespace

std::optional<std::string> operatorName(const std::string &text)
{
  std::string name = trimmed(text);
  if (name.empty() || name.size() > maxNameBytes)
    return std::nullopt;
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f)
      return std::nullopt;
  }
  try {
    (void)Json(name).dump(); // throws on invalid UTF-8
  } catch (const Json::type_error &) {
    return std::nullopt;
  }
  return name;
}

bool isIpAddress(const std::string &text)
{
  return parseAddress(text).has_value();
}

bool isHeaderName(const std::string &text)
{
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
  });
}

std::optional<std::string> operatorOf(const Request &request, const OperatorOptions &options)
{
  return judge(request, options).name;
}

Authority authorise(const Request &request, const OperatorOptions &options)
{
  if (!options.header && !options.localOperator)
    return judge(request, options);
  if (!isJsonType(request.header("Content-Type")))
    return { std::nullopt, textReply(415, "request refused: the body must be application/json") };
  if (const std::string *origin = request.header("Origin")) {
    const std::string *host = request.header("Host");
    const std::string own = host ? lower(*host) : std::string();
    const std::string o = lower(*origin);
    if (own.empty() || (o != "http://" + own && o != "https://" + own))
      return refuse(403, "from another site (Origin " + printable(*origin) + ")");
  }
  if (const std::string *site = request.header("Sec-Fetch-Site"); site && lower(*site) == "cross-site")
    return refuse(403, "from another site (Sec-Fetch-Site: cross-site)");
  return judge(request, options);
}

Reply whoamiReply(const Request &request, const OperatorOptions &options)
{
  const std::optional<std::string> name = operatorOf(request, options);
  Json j;
  j["operator"] = name ? Json(*name) : Json(nullptr);
  j["canAcknowledge"] = name.has_value();
  Reply reply{ 200, "application/json", jsonText(j), {}, {} };
  // The answer depends on who asks: no cache may keep it for another.
  reply.headers.emplace_back("Cache-Control", "no-store");
  return reply;
}

} // namespace tmx::web
