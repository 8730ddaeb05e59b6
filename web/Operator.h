// Who may act on alarms through tmx-web: the operator a request acts as,
// and the refusal of a write request (POST) that may not act.
//
// tmx-web has no login of its own. An operator is either named by a
// header that a trusted reverse proxy sets after authenticating the user
// (--operator-header, --trusted-proxy), or is the one local operator that
// every request from this host acts as (--local-operator). A trusted
// proxy's requests are judged by the header alone, so that nobody reaching
// tmx-web through the proxy is taken for the local operator. Write requests
// from another site are refused whoever sends them: browsers send such
// requests with the user's credentials.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "web/Reply.h"
#include "web/Request.h"

namespace tmx::web {

struct OperatorOptions
{
  // The header naming the operator ("X-Remote-User"); honoured only on
  // requests from a trusted proxy.
  std::optional<std::string> header;
  // The trusted proxies' addresses (IPv4 or IPv6, numeric); empty: 127.0.0.1
  // and ::1.
  std::vector<std::string> trustedProxies;
  // The name every request from loopback (127.0.0.0/8, ::1) acts as.
  std::optional<std::string> localOperator;
};

// The answer to a write request: the operator who acts, or the refusal.
struct Authority
{
  std::optional<std::string> name; // set when the request may act
  Reply refusal;                   // otherwise: a one-line text/plain reason

  explicit operator bool() const { return name.has_value(); }
};

// text trimmed of surrounding spaces and tabs when that is an operator's
// name: 1 to 128 bytes of valid UTF-8 without control characters.
std::optional<std::string> operatorName(const std::string &text);

// Whether text is a numeric IPv4 or IPv6 address.
bool isIpAddress(const std::string &text);

// Whether text is a header field name (an HTTP token such as "X-Remote-User").
bool isHeaderName(const std::string &text);

// Who the request acts as; nullopt for nobody.
std::optional<std::string> operatorOf(const Request &request, const OperatorOptions &options);

// Whether a POST may act, and as whom. Refused: 403 when tmx-web is
// read-only (neither option), when the request comes from another site (an
// Origin other than http:// or https:// and its own Host, or
// Sec-Fetch-Site: cross-site), or when it is from no one who may act; 415
// unless its Content-Type is application/json (charset utf-8 at most); 401
// when a trusted proxy sends it without the operator header.
Authority authorise(const Request &request, const OperatorOptions &options);

// GET /api/whoami: {"operator": NAME or null, "canAcknowledge": bool},
// canAcknowledge when a POST from this client would act (whatever its
// content type and origin).
Reply whoamiReply(const Request &request, const OperatorOptions &options);

} // namespace tmx::web
