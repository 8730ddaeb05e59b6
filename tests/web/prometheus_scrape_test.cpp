// A real Prometheus (the Debian package's binary) scraping tmx-web's
// /metrics on loopback, with the real monitor and simulated loggers behind
// it: Prometheus's own query API answers each housing's temperature with
// the loggers' values. The test fails (never skips) when prometheus is not
// installed: scripts/deps.sh installs it.
#include "tests/support/TestSupport.h"
#include "tests/web/ReadyServer.h"
#include "tests/web/WebProcess.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <chrono>
#include <map>

using namespace tmx::test;
using Json = nlohmann::json;
using SteadyClock = std::chrono::steady_clock;

namespace {

// Starts prometheus on a free loopback port with the given configuration
// and its storage in dir, and waits until it is ready; a port taken in
// between is retried with another. Throws when it does not come up.
std::unique_ptr<ChildProcess> startPrometheus(const std::string &binary, const TempDir &dir, int &port)
{
  std::string why;
  for (int attempt = 0; attempt < 3; ++attempt) {
    port = freeLoopbackPort();
    auto process = std::make_unique<ChildProcess>(
      std::vector<std::string>{ binary,
                                "--config.file=" + dir.file("prometheus.yml"),
                                "--storage.tsdb.path=" + dir.file("tsdb-" + std::to_string(attempt)),
                                "--web.listen-address=127.0.0.1:" + std::to_string(port) });
    if (answersReady(*process, port))
      return process;
    why = process->err();
  }
  throw std::runtime_error("prometheus did not start: " + why);
}

TEST(PrometheusScrape, QueryApiAnswersBothHousingsTemperatures)
{
  const std::string prometheus = findInPath("prometheus");
  ASSERT_FALSE(prometheus.empty()) << "the prometheus binary is not in PATH; install the Debian package "
                                      "\"prometheus\" (scripts/deps.sh does)";

  CorbaEnv env;
  env.startNotifier();
  TempDir dir("tmx-web-prometheus");

  // tmx-web on a free port with a fresh archive.
  WebProcess web(env.orbArgs(), dir.file("history.sqlite"));
  const std::string webPort = std::to_string(web.port);
  ASSERT_TRUE(web.process->waitForErr("subscribed to the notifier")) << web.process->err();

  // The monitor with simulated loggers.
  TempDir run("tmx-web-prometheus-run");
  writeMonitorFiles(run);
  std::unique_ptr<ChildProcess> tmx = startMonitor(run, env.orbArgs());

  // Prometheus scraping tmx-web only, every second. Its destructor stops it
  // (SIGTERM, SIGKILL after a bounded wait) however the test ends.
  dir.write("prometheus.yml",
            "global:\n"
            "  scrape_interval: 1s\n"
            "  scrape_timeout: 1s\n"
            "  evaluation_interval: 1s\n"
            "scrape_configs:\n"
            "  - job_name: tmx-web\n"
            "    static_configs:\n"
            "      - targets: ['127.0.0.1:" +
              webPort + "']\n");
  int promPort = 0;
  std::unique_ptr<ChildProcess> prom = startPrometheus(prometheus, dir, promPort);

  httplib::Client client("127.0.0.1", promPort);
  client.set_connection_timeout(1, 0);
  client.set_read_timeout(5, 0);
  std::map<std::string, double> temperature;
  std::string last;
  auto lastQuery = SteadyClock::now() - milliseconds(1000);
  const bool both = eventually(
    [&] {
      if (SteadyClock::now() - lastQuery < milliseconds(250))
        return false;
      lastQuery = SteadyClock::now();
      auto r = client.Get("/api/v1/query?query=tmx_housing_temperature_celsius");
      if (!r || r->status != 200)
        return false;
      last = r->body;
      const Json answer = Json::parse(r->body, nullptr, false);
      if (!answer.is_object() || answer.value("status", "") != "success")
        return false;
      temperature.clear();
      for (const auto &series : answer["data"]["result"]) {
        // "value": [time, "text of the sample"]
        const std::string housing = series["metric"].value("housing", "");
        temperature[housing] = std::stod(series["value"][1].get<std::string>());
      }
      return temperature.count("electronics") && temperature.count("spectrograph");
    },
    milliseconds(60000));
  ASSERT_TRUE(both) << "last answer: " << last << "\nprometheus: " << prom->err()
                    << "\ntmx-web: " << web.process->err() << "\ntmx: " << tmx->err();
  EXPECT_EQ(temperature.size(), 2u) << last;
  EXPECT_DOUBLE_EQ(temperature["electronics"], 24.10) << last;
  EXPECT_DOUBLE_EQ(temperature["spectrograph"], 18.25) << last;

  EXPECT_FALSE(prom->stop(milliseconds(10000)).timedOut);
  tmx->closeStdin();
  EXPECT_TRUE(web.process->stop().ok()) << web.process->err();
}

} // namespace
