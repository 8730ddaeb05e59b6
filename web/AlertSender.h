// One HTTP exchange with an Alertmanager, as the alert client needs it: a
// seam between the client's rules and libcurl (web/CurlSender.h), so that
// tests record what would be sent.
#pragma once

#include <string>

namespace tmx::web {

struct HttpExchange
{
  long status = 0;   // the HTTP status; 0 when no answer came
  std::string body;  // the answer's body
  std::string error; // why no answer came, or ""

  bool ok() const { return error.empty() && status >= 200 && status < 300; }
};

class AlertSender
{
public:
  virtual ~AlertSender() = default;
  // method "GET", "POST" (body JSON) or "DELETE". Bounded in time.
  virtual HttpExchange send(const std::string &method, const std::string &url, const std::string &body) = 0;
};

} // namespace tmx::web
