// Who may act on alarms: authorise() over the options, the client's
// address, the operator header and the cross-site checks; /api/whoami.
#include <gtest/gtest.h>

#include "web/Operator.h"

using namespace tmx::web;

namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;

const OperatorOptions readOnly;
const OperatorOptions proxy{ "X-Remote-User", {}, std::nullopt };
const OperatorOptions otherProxy{ "X-Remote-User", { "10.0.0.5" }, std::nullopt };
const OperatorOptions local{ std::nullopt, {}, "ops" };
const OperatorOptions both{ "X-Remote-User", {}, "ops" };
const OperatorOptions bothElsewhere{ "X-Remote-User", { "10.0.0.5" }, "ops" };

// A POST as a same-origin page sends it, plus extra headers.
Request post(const std::string &peer, Headers extra = {})
{
  Request r{ "POST", "/api/alarms/1/acknowledge", {}, { { "Host", "tmx.example.org" } }, "{}", peer };
  bool typed = false;
  for (auto &h : extra) {
    typed = typed || h.first == "Content-Type";
    r.headers.push_back(std::move(h));
  }
  if (!typed)
    r.headers.emplace_back("Content-Type", "application/json");
  return r;
}

Request user(const std::string &peer, const std::string &name)
{
  return post(peer, { { "X-Remote-User", name } });
}

Request with(const std::string &header, const std::string &value)
{
  return post("127.0.0.1", { { header, value } });
}

TEST(Operator, AuthoriseMatrix)
{
  const struct
  {
    const char *what;
    const OperatorOptions &options;
    Request request;
    int status; // 0: let through as name
    std::string nameOrReason;
  } cases[] = {
    { "read-only", readOnly, post("127.0.0.1"), 403, "read-only: start tmx-web with --operator-header" },
    { "header from trusted proxy", proxy, post("127.0.0.1", { { "x-remote-user", "alice" } }), 0, "alice" },
    { "mapped loopback, trimmed", proxy, user("::ffff:127.0.0.1", " bob\t"), 0, "bob" },
    { "header from untrusted", proxy, user("192.0.2.7", "alice"), 403, "not from 192.0.2.7" },
    { "trusted list replaces loopback", otherProxy, user("127.0.0.1", "alice"), 403, "trusted proxy" },
    { "listed proxy", otherProxy, user("10.0.0.5", "alice"), 0, "alice" },
    { "header missing", proxy, post("127.0.0.1"), 401, "no X-Remote-User header" },
    { "no header from elsewhere", proxy, post("192.0.2.7"), 403, "through a trusted proxy" },
    { "control character", proxy, user("127.0.0.1", "al\x1b[2Jice"), 403, "not one" },
    { "too long a name", proxy, user("127.0.0.1", std::string(129, 'a')), 403, "not one" },
    { "invalid UTF-8", proxy, user("127.0.0.1", "al\xff"), 403, "not one" },
    { "two headers",
      proxy,
      post("127.0.0.1", { { "X-Remote-User", "alice" }, { "X-Remote-User", "eve" } }),
      403,
      "not one" },
    { "local from loopback", local, post("127.0.0.1"), 0, "ops" },
    { "local from 127/8", local, post("127.8.9.10"), 0, "ops" },
    { "local from ::1", local, post("::1"), 0, "ops" },
    { "local from elsewhere", local, post("192.0.2.7"), 403, "this host" },
    { "local, address unknown", local, post(""), 403, "unknown address" },
    { "proxy's request judged by header alone", both, post("127.0.0.1"), 401, "no X-Remote-User" },
    { "local beside a remote proxy", bothElsewhere, post("::1"), 0, "ops" },
    { "header from untrusted loopback", bothElsewhere, user("::1", "eve"), 403, "trusted proxy" },
    { "no content type", local, with("Content-Type", ""), 415, "application/json" },
    { "form post", local, with("Content-Type", "text/plain"), 415, "application/json" },
    { "charset utf-8", local, with("Content-Type", "Application/JSON; charset=UTF-8"), 0, "ops" },
    { "other charset", local, with("Content-Type", "application/json; charset=latin1"), 415, "json" },
    { "own origin", local, with("Origin", "https://tmx.example.org"), 0, "ops" },
    { "own origin, http", local, with("Origin", "http://TMX.example.org"), 0, "ops" },
    { "cross-site origin", local, with("Origin", "https://evil.example"), 403, "another site" },
    { "null origin", local, with("Origin", "null"), 403, "another site" },
    { "cross-site fetch", local, with("Sec-Fetch-Site", "cross-site"), 403, "another site" },
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const Authority a = authorise(c.request, c.options);
    if (c.status == 0) {
      ASSERT_TRUE(a) << a.refusal.body;
      EXPECT_EQ(*a.name, c.nameOrReason);
      continue;
    }
    ASSERT_FALSE(a) << *a.name;
    EXPECT_EQ(a.refusal.status, c.status);
    EXPECT_EQ(a.refusal.contentType.rfind("text/plain", 0), 0u);
    EXPECT_NE(a.refusal.body.find(c.nameOrReason), std::string::npos) << a.refusal.body;
    EXPECT_EQ(a.refusal.body.find('\n'), a.refusal.body.size() - 1) << a.refusal.body; // one line
  }
}

TEST(Operator, WhoamiIgnoresContentTypeAndOrigin)
{
  const struct
  {
    const char *what;
    const OperatorOptions &options;
    Request request;
    const char *json;
  } cases[] = {
    { "read-only", readOnly, post("127.0.0.1"), R"({"operator":null,"canAcknowledge":false})" },
    { "through the proxy",
      proxy,
      user("127.0.0.1", "alice"),
      R"({"operator":"alice","canAcknowledge":true})" },
    { "header from untrusted",
      proxy,
      user("192.0.2.7", "alice"),
      R"({"operator":null,"canAcknowledge":false})" },
    { "local, cross-site",
      local,
      post("127.0.0.1", { { "Content-Type", "text/plain" }, { "Origin", "https://evil.example" } }),
      R"({"operator":"ops","canAcknowledge":true})" },
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Request get = c.request;
    get.method = "GET";
    const Reply reply = whoamiReply(get, c.options);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, c.json);
  }
}

} // namespace
