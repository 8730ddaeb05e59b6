// One HTTP request as tmx-web's routes see it, free of any HTTP library:
// the server adapter (web/HttpServer.cpp) fills it from the connection.
#pragma once

#include <strings.h>

#include <string>
#include <utility>
#include <vector>

#include "web/Query.h"

namespace tmx::web {

struct Request
{
  std::string method;
  std::string path; // decoded, without the query
  Params params;    // the query, split and decoded
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body; // only for routes that take one
  std::string peer; // the client's address, numeric ("127.0.0.1", "::1"); empty when unknown

  // The first value of the header name (any case); null when absent.
  const std::string *header(const char *name) const
  {
    for (const auto &h : headers)
      if (strcasecmp(h.first.c_str(), name) == 0)
        return &h.second;
    return nullptr;
  }
};

} // namespace tmx::web
