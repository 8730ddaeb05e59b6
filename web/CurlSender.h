// AlertSender over libcurl: connect within 2 s, the whole exchange within
// 5 s. One instance is used from one thread (it keeps one easy handle, and
// so its connections, between calls).
#pragma once

#include <memory>

#include "web/AlertSender.h"

namespace tmx::web {

class CurlSender : public AlertSender
{
public:
  CurlSender();
  ~CurlSender() override;
  CurlSender(const CurlSender &) = delete;
  CurlSender &operator=(const CurlSender &) = delete;

  HttpExchange send(const std::string &method, const std::string &url, const std::string &body) override;

private:
  struct Handle;
  std::unique_ptr<Handle> handle_;
};

} // namespace tmx::web
