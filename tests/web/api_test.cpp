// tmx-web's HTTP interface in process, on a free loopback port, over a
// fresh archive: bad input gets 4xx with a one-line reason; the JSON and
// CSV replies carry what the archive holds (no value as null, CSV streamed
// in pages without loss or repetition).
#include "tests/web/ApiFixture.h"
#include "tests/web/LoopbackSocket.h"

#include "config/LimitsFile.h"
#include "tests/support/TestUtil.h"
#include "wire/HousekeepingText.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <cmath>
#include <memory>

using namespace tmx::web;
namespace archive = tmx::archive;

namespace {

using ApiTest = tmx::web::test::ApiFixture;

TEST_F(ApiTest, BadInputGets4xxWithAOneLineReason)
{
  struct Case
  {
    const char *method;
    const char *path;
    int status;
    const char *reason;
  };
  const Case cases[] = {
    { "GET", "/api/housekeeping?housing=kitchen", 400, "unknown housing" },
    { "GET", "/api/housekeeping?from=0", 400, "housing missing" },
    { "GET", "/api/housekeeping?housing=0&housing=1", 400, "more than once" },
    { "GET", "/api/housekeeping?housing=0&from=yesterday", 400, "from: not a time" },
    { "GET", "/api/housekeeping?housing=0&to=2026-02-30", 400, "to: not a time" },
    { "GET", "/api/housekeeping?housing=0&from=2026-12-08&to=2026-12-01", 400, "from is after to" },
    { "GET", "/api/housekeeping?housing=1&from=2025-01-01&to=2026-02-05T00:00:01Z", 400, "400 days" },
    { "GET", "/api/housekeeping?housing=0&points=1", 400, "points" },
    { "GET", "/api/housekeeping?housing=0&points=10001", 400, "points" },
    { "GET", "/api/housekeeping?housing=0&points=-5", 400, "points" },
    { "GET", "/api/housekeeping?housing=0&format=xml", 400, "format" },
    { "GET", "/api/messages?limit=0", 400, "limit" },
    { "GET", "/api/messages?limit=10001", 400, "limit" },
    { "GET", "/api/messages?from=%00", 400, "from: not a time" },
    { "GET", "/api/nothing", 404, "no such path" },
    { "GET", "/index.php", 404, "no such path" },
    { "POST", "/api/current", 405, "not allowed" },
    { "DELETE", "/metrics", 405, "not allowed" },
    { "PUT", "/api/housekeeping?housing=0", 405, "not allowed" },
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path);
    httplib::Result r = std::string(c.method) == "GET"    ? client->Get(c.path)
                        : std::string(c.method) == "POST" ? client->Post(c.path, "x", "text/plain")
                        : std::string(c.method) == "PUT"  ? client->Put(c.path, "x", "text/plain")
                                                          : client->Delete(c.path);
    ASSERT_TRUE(r) << httplib::to_string(r.error());
    EXPECT_EQ(r->status, c.status);
    EXPECT_NE(r->body.find(c.reason), std::string::npos) << r->body;
    EXPECT_EQ(std::count(r->body.begin(), r->body.end(), '\n'), 1) << r->body;
    EXPECT_EQ(r->body.back(), '\n');
  }
  // The good forms of the same requests.
  for (const char *path : { "/api/current",
                            "/api/housekeeping?housing=spectrograph&from=2026-12-01&to=2026-12-08&points=2",
                            "/api/messages?limit=10000&from=0&to=1000",
                            "/metrics" }) {
    // Answers are never compressed: brotli made a 30-day series 80 times slower.
    auto r = client->Get(path, httplib::Headers{ { "Accept-Encoding", "br, gzip" } });
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << path << ": " << r->body;
    EXPECT_FALSE(r->has_header("Content-Encoding")) << path;
  }
}

TEST_F(ApiTest, RepliesCarryTheArchiveNullsAndAStreamedCsv)
{
  // 12001 records of both housings, more than two CSV pages; one reading
  // the monitor could not take.
  archive::Batch batch;
  const std::int64_t t0 = 1765188000;
  for (int i = 0; i < 6001; ++i)
    for (int h = 0; h < 2; ++h) {
      archive::HousekeepingRecord r;
      r.housing = h;
      r.readingTime = t0 + 5 * i;
      r.temperature = 20.0 + h;
      r.humidity = 40.0;
      r.arrivalTime = static_cast<double>(r.readingTime) + 0.25;
      batch.housekeeping.push_back(r);
    }
  batch.housekeeping[0].temperature.reset();
  batch.housekeeping.pop_back();
  store->write(batch);

  auto r = client->Get("/api/housekeeping?housing=electronics&from=1765188000&to=1765188010");
  ASSERT_TRUE(r);
  ASSERT_EQ(r->status, 200) << r->body;
  auto j = nlohmann::json::parse(r->body);
  EXPECT_EQ(j["housing"], "electronics");
  EXPECT_EQ(j["resolution"], 0);
  ASSERT_EQ(j["temperature"].size(), 3u);
  EXPECT_EQ(j["temperature"][0], nlohmann::json::parse("[1765188000,null,null,null]"));
  EXPECT_EQ(j["temperature"][1], nlohmann::json::parse("[1765188005,20,20,20]"));
  EXPECT_EQ(j["dewPoint"][0], nlohmann::json::parse("[1765188000,null,null,null]"));
  ASSERT_EQ(j["dewPoint"][1].size(), 4u);
  EXPECT_NEAR(j["dewPoint"][1][2].get<double>(), 5.98, 0.005); // 20 degC, 40 %RH
  EXPECT_EQ(j["dewPoint"][1][1], j["dewPoint"][1][3]);
  EXPECT_TRUE(j["wet"].empty());

  r = client->Get("/api/housekeeping?format=csv&from=1765188000&to=1765218005");
  ASSERT_TRUE(r);
  ASSERT_EQ(r->status, 200);
  EXPECT_EQ(r->get_header_value("Content-Type").rfind("text/csv", 0), 0u);
  std::string expected = tmx::wire::csvHeader();
  for (const auto &rec : batch.housekeeping)
    expected += tmx::wire::csvRow(rec);
  EXPECT_EQ(r->body, expected);
}

TEST_F(ApiTest, CurrentAndMetricsCarryDewPointAndTheConfiguredLimits)
{
  archive::HousekeepingRecord r;
  r.housing = 0;
  r.readingTime = 1765188000;
  r.temperature = 20.0;
  r.humidity = 50.0;
  r.arrivalTime = 1765188000.5;
  live.update(r);
  metrics.reading(r);
  r.housing = 1;
  r.humidity.reset();
  live.update(r);
  metrics.reading(r);

  const auto current = [this] {
    auto res = client->Get("/api/current");
    EXPECT_TRUE(res && res->status == 200);
    return nlohmann::json::parse(res ? res->body : "null")["housings"];
  };
  auto housings = current();
  EXPECT_NEAR(housings[0]["dewPoint"].get<double>(), 9.255, 0.001);
  EXPECT_TRUE(housings[1]["dewPoint"].is_null()) << "no humidity, no dew point";
  EXPECT_TRUE(housings[0]["limits"].is_null()) << "no configuration, no limits";
  EXPECT_TRUE(housings[1]["limits"].is_null());

  auto res = client->Get("/metrics");
  ASSERT_TRUE(res);
  EXPECT_NE(res->body.find("tmx_housing_dew_point_celsius{housing=\"electronics\"} 9.255"), std::string::npos)
    << res->body;
  EXPECT_NE(res->body.find("tmx_housing_dew_point_celsius{housing=\"spectrograph\"} Nan"), std::string::npos)
    << res->body;

  // The monitor's file: one good entry, one malformed (reported, no limits).
  const std::string cfg = dir.write("tmx.cfg",
                                    "TMX-E1 V3.5-Beta3,2,0x378,0x40\n"
                                    "TMX-E1-LIMITS 5,-,60,3,0.5\t# electronics\n"
                                    "TMX-S1-LIMITS 40,35\n");
  LimitsSet limits;
  std::string why;
  std::vector<std::string> reported;
  ASSERT_TRUE(readLimitsConfig(cfg, limits, why, [&](const std::string &t) { reported.push_back(t); }))
    << why;
  EXPECT_EQ(reported,
            std::vector<std::string>{
              "Malformed limits entry ignored (lowest temperature above highest): TMX-S1-LIMITS 40,35" });
  live.setLimits(limits);
  housings = current();
  EXPECT_EQ(housings[0]["limits"],
            nlohmann::json::parse(R"({"lowTemperature":5.0,"highTemperature":null,"highHumidity":60.0,)"
                                  R"("dewPointMargin":3.0,"hysteresis":0.5})"));
  EXPECT_EQ(housings[1]["limits"],
            nlohmann::json::parse(R"({"lowTemperature":null,"highTemperature":null,"highHumidity":null,)"
                                  R"("dewPointMargin":null,"hysteresis":0.0})"));

  EXPECT_FALSE(readLimitsConfig(dir.file("missing.cfg"), limits, why, [](const std::string &) {}));
  EXPECT_EQ(why, "No such file or directory");
}

// A raw connection asking for /api/events; what it reads until text comes
// or the stream ends.
class EventClient
{
public:
  explicit EventClient(int port)
    : socket_(std::make_unique<tmx::test::LoopbackSocket>(port))
  {
    socket_->send("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  }
  // True when text has come within 5 s; ended: the server closed the stream.
  bool readUntil(const std::string &text, bool *ended = nullptr)
  {
    return socket_->receiveUntil(
      got_,
      std::chrono::steady_clock::now() + std::chrono::seconds(5),
      [&text](const std::string &got) { return got.find(text) != std::string::npos; },
      ended);
  }

private:
  std::unique_ptr<tmx::test::LoopbackSocket> socket_;
  std::string got_;
};

// The event stream is sent piece by piece as events come; a client that
// went away gives up its place; closing the hub ends the stream.
TEST_F(ApiTest, EventStreamFollowsTheHubAndEndsWithIt)
{
  EventClient staying(server->port());
  ASSERT_TRUE(staying.readUntil("event: state"));
  {
    EventClient leaving(server->port());
    ASSERT_TRUE(leaving.readUntil("event: state"));
    ASSERT_TRUE(tmx::test::eventually([this] { return hub.clients() == 2; }));
  }
  hub.publish("message", nlohmann::ordered_json{ { "text", "first" } });
  ASSERT_TRUE(staying.readUntil("\"first\""));
  // The one gone is noticed at its next write, and leaves at the one after.
  hub.publish("message", nlohmann::ordered_json{ { "text", "second" } });
  ASSERT_TRUE(staying.readUntil("\"second\""));
  EXPECT_TRUE(tmx::test::eventually([this] {
    hub.publish("message", nlohmann::ordered_json{ { "text", "more" } });
    return hub.clients() == 1;
  }));
  hub.close();
  bool ended = false;
  staying.readUntil("never sent", &ended);
  EXPECT_TRUE(ended);
}

} // namespace

namespace {

// Streamed answers hold a thread each: beyond the server's limit a request
// is turned away at once instead of making one more.
TEST_F(ApiTest, StreamsBeyondTheLimitAreTurnedAway)
{
  HttpOptions options;
  options.maxStreams = 1;
  HttpServer small(webRoutes(*api), options);
  std::string why;
  ASSERT_TRUE(small.bind("127.0.0.1", 0, why)) << why;
  small.start();
  EventClient first(small.port());
  ASSERT_TRUE(first.readUntil("event: state"));
  httplib::Client second("127.0.0.1", small.port());
  second.set_read_timeout(5, 0);
  const auto busy = second.Get("/api/events");
  ASSERT_TRUE(busy);
  EXPECT_EQ(busy->status, 503);
  EXPECT_NE(busy->body.find("busy"), std::string::npos) << busy->body;
  EXPECT_EQ(second.Get("/api/current")->status, 200); // whole answers are not limited
  hub.close();                                        // ends the stream, so that the server stops at once
}

} // namespace

namespace {

// The server fills in the client's address: loopback acts as the local
// operator, on IPv4 and IPv6 alike.
TEST_F(ApiTest, WhoamiSeesTheClientsAddress)
{
  OperatorOptions local;
  local.localOperator = "ops";
  EXPECT_EQ(client->Get("/api/whoami")->body, R"({"operator":null,"canAcknowledge":false})");
  for (const char *host : { "127.0.0.1", "::1" }) {
    SCOPED_TRACE(host);
    HttpServer server(webRoutes(*api, local));
    std::string why;
    const bool bound = server.bind(host, 0, why);
    if (!bound && host == std::string("::1"))
      GTEST_SKIP() << "no IPv6 loopback: " << why;
    ASSERT_TRUE(bound) << why;
    server.start();
    httplib::Client c(host, server.port());
    c.set_read_timeout(5, 0);
    const auto r = c.Get("/api/whoami");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body, R"({"operator":"ops","canAcknowledge":true})");
  }
}

} // namespace
