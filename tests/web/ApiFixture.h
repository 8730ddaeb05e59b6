// tmx-web's handlers and routes in process, on a free loopback port, over
// a fresh archive, with an HTTP client: the fixture of the API tests.
#pragma once

#include "web/AlarmApi.h"
#include "web/AlarmState.h"
#include "web/Api.h"
#include "web/HttpServer.h"
#include "web/WebRoutes.h"

#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <memory>
#include <string>

namespace tmx::web::test {

class ApiFixture : public ::testing::Test
{
protected:
  void SetUp() override { start({}); }
  void TearDown() override { stop(); }

  // Everything anew over the same archive; operators say who may act.
  void start(const OperatorOptions &operators)
  {
    store = std::make_unique<archive::Archive>(dir.file("a.sqlite"));
    alarms = std::make_unique<AlarmState>(
      *store, hub, [](const std::string &) {}, 24 * 60);
    api = std::make_unique<WebApi>(ApiSources{
      *store, live, hub, metrics, [] { return LinkStatus(); }, [] { return std::size_t(0); }, alarms.get() });
    alarmApi = std::make_unique<AlarmApi>(*alarms, operators, [this] { return now; });
    server = std::make_unique<HttpServer>(webRoutes(*api, operators, alarmApi.get()));
    std::string why;
    ASSERT_TRUE(server->bind("127.0.0.1", 0, why)) << why;
    server->start();
    client = std::make_unique<httplib::Client>("127.0.0.1", server->port());
    client->set_read_timeout(10, 0);
  }
  void stop()
  {
    hub.close();
    server.reset();
    alarmApi.reset();
    api.reset();
    alarms.reset();
    store.reset();
  }

  tmx::test::TempDir dir{ "tmx-web-api" };
  double now = 1'800'000'000; // the alarms' clock
  std::unique_ptr<archive::Archive> store;
  LiveState live{ systemClock() };
  EventHub hub;
  Metrics metrics;
  std::unique_ptr<AlarmState> alarms;
  std::unique_ptr<WebApi> api;
  std::unique_ptr<AlarmApi> alarmApi;
  std::unique_ptr<HttpServer> server;
  std::unique_ptr<httplib::Client> client;
};

} // namespace tmx::web::test
