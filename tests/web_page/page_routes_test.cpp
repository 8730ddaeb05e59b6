#include "web/HttpServer.h"
#include "web/page/Page.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <memory>
#include <regex>
#include <string>

namespace {

class PageRoutesTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    tmx::web::Routes routes;
    routes.fallback(&tmx::web::pageReply);
    server_ = std::make_unique<tmx::web::HttpServer>(std::move(routes));
    std::string why;
    ASSERT_TRUE(server_->bind("127.0.0.1", 0, why)) << why;
    ASSERT_TRUE(server_->start(&why)) << why;
    port_ = server_->port();
  }
  httplib::Result get(const std::string &path, const httplib::Headers &headers = {})
  {
    httplib::Client client("127.0.0.1", port_);
    client.set_connection_timeout(5);
    client.set_read_timeout(5);
    return client.Get(path.c_str(), headers);
  }

  std::unique_ptr<tmx::web::HttpServer> server_;
  int port_ = 0;
};

TEST_F(PageRoutesTest, ServesEachFileWithItsTypeAndCaching)
{
  struct Case
  {
    std::string path;
    int status;
    std::string type;
    std::string cache;
    std::string contains;
  };
  const Case cases[] = {
    { "/", 200, "text/html; charset=utf-8", "no-cache", "<title>TMX housekeeping</title>" },
    { "/static/dashboard.js?v=x",
      200,
      "text/javascript; charset=utf-8",
      "immutable",
      "EventSource('api/events')" },
    { "/static/dashboard.css", 200, "text/css; charset=utf-8", "immutable", ".panel.stale" },
    { "/static/dygraph.min.js", 200, "text/javascript; charset=utf-8", "immutable", "Dygraph" },
    { "/static/dygraph.min.css", 200, "text/css; charset=utf-8", "immutable", "dygraph" },
    { "/static/index.html", 404, "text/plain; charset=utf-8", "", "no such file" },
    { "/static/missing.js", 404, "text/plain; charset=utf-8", "", "no such file" },
    { "/static/..%2Fetc%2Fpasswd", 404, "", "", "" },
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.path);
    // As a browser asks: cpp-httplib's brotli would take hundreds of milliseconds per file.
    auto res = get(c.path, { { "Accept-Encoding", "gzip, deflate, br" } });
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, c.status);
    if (c.status == 200) {
      EXPECT_EQ(res->get_header_value("Content-Encoding"), "");
    }
    if (!c.type.empty()) {
      EXPECT_EQ(res->get_header_value("Content-Type"), c.type);
    }
    EXPECT_NE(res->get_header_value("Cache-Control").find(c.cache), std::string::npos);
    EXPECT_NE(res->body.find(c.contains), std::string::npos);
  }
}

TEST_F(PageRoutesTest, RevalidationWithTheETagAnswersNotModified)
{
  auto first = get("/");
  ASSERT_TRUE(first);
  const std::string etag = first->get_header_value("ETag");
  ASSERT_FALSE(etag.empty());
  auto again = get("/", { { "If-None-Match", etag } });
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 304);
  EXPECT_TRUE(again->body.empty());
}

// Works offline: every file the page loads is served here, nothing from elsewhere.
TEST_F(PageRoutesTest, PageLoadsOnlyItsOwnFiles)
{
  auto index = get("/");
  ASSERT_TRUE(index);
  EXPECT_EQ(index->body.find("@ASSET_VERSION@"), std::string::npos);
  const std::regex ref(R"re((?:src|href)="([^"]*)")re");
  int refs = 0;
  for (std::sregex_iterator it(index->body.begin(), index->body.end(), ref), end; it != end; ++it, ++refs) {
    const std::string url = (*it)[1];
    SCOPED_TRACE(url);
    ASSERT_EQ(url.rfind("static/", 0), 0u); // relative: the page also works behind a proxy's prefix
    auto res = get("/" + url);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    if (url.find("dashboard") != std::string::npos) {
      EXPECT_EQ(res->body.find("http"), std::string::npos);
    }
  }
  EXPECT_EQ(refs, 4);
}

} // namespace
