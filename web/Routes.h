// tmx-web's route table, free of any HTTP library: which handler answers a
// Request, and the refusals of requests none takes (404, 405, 500), each a
// one-line text/plain reason. Every answer carries
// "X-Content-Type-Options: nosniff", so that no browser takes a reason
// (which may quote the request) for a page or a script.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "web/Reply.h"
#include "web/Request.h"

namespace tmx::web {

class Routes
{
public:
  using Handler = std::function<Reply(const Request &)>;
  // Answers the request or declines it (nullopt).
  using Fallback = std::function<std::optional<Reply>(const Request &)>;

  // GET (and HEAD) of exactly path.
  void get(const std::string &path, Handler handler);
  // POST of exactly path; the only requests whose body is read.
  void post(const std::string &path, Handler handler);
  // POST of any path under prefix (which ends in '/'), when no post() route
  // takes it; its body is read too.
  void postUnder(const std::string &prefix, Handler handler);
  // Tried in order for a GET or HEAD no get() route takes.
  void fallback(Fallback fallback);

  // Whether the request's body is to be read (a POST route takes it).
  bool takesBody(const std::string &method, const std::string &path) const;
  // The answer; a handler that throws gives a 500.
  Reply answer(const Request &request) const;

private:
  Reply dispatch(const Request &request) const;
  const Handler *postHandler(const std::string &path) const;

  std::map<std::string, Handler> gets_;
  std::map<std::string, Handler> posts_;
  std::vector<std::pair<std::string, Handler>> postPrefixes_;
  std::vector<Fallback> fallbacks_;
};

// text with control characters, backslashes and bytes beyond ASCII as
// \xHH: safe to quote in a one-line reason.
std::string printable(const std::string &text);

// A one-line text/plain reason.
Reply textReply(int status, const std::string &reason);
Reply notFound(const std::string &path);
Reply notAllowed(const std::string &method);
// Any other refusal without a reason of its own (HTTP status).
Reply refused(int status);
// A handler threw; what: the exception's what(), when it had one.
Reply internalError(const std::optional<std::string> &what);

} // namespace tmx::web
