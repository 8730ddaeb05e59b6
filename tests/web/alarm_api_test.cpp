// tmx-web's alarms over HTTP, in process on a free loopback port over a
// fresh archive: the episodes a message opens, the operators' requests and
// their refusals, the metrics, and the state kept across a restart.
#include "tests/web/ApiFixture.h"

#include <string>

using namespace tmx::web;
namespace archive = tmx::archive;

namespace {

class AlarmApiTest : public tmx::web::test::ApiFixture
{
protected:
  void SetUp() override {}

  void waterAlarm(double at)
  {
    alarms->message({ 2, "ERROR: Electronics housing water alarm@10:00:00", 0, at });
  }
  httplib::Result post(const std::string &path,
                       const std::string &body,
                       const std::string &type = "application/json",
                       const httplib::Headers &headers = {})
  {
    return client->Post(path.c_str(), headers, body, type.c_str());
  }
  // The value of the metric of the electronics water alarm ("" when
  // absent); tmx_alarm_episodes_total has no labels.
  std::string metricsLine(const std::string &name)
  {
    auto r = client->Get("/metrics");
    const std::string labels = name == "tmx_alarm_episodes_total"
                                 ? ""
                                 : "{housing=\"electronics\",kind=\"water\",severity=\"critical\"}";
    const std::string head = "\n" + name + labels + " ";
    const auto at = r ? r->body.find(head) : std::string::npos;
    if (at == std::string::npos)
      return "";
    const auto from = at + head.size();
    return r->body.substr(from, r->body.find('\n', from) - from);
  }
  nlohmann::json alarmsJson(const std::string &query = "")
  {
    auto r = client->Get(("/api/alarms" + query).c_str());
    EXPECT_TRUE(r && r->status == 200);
    return r ? nlohmann::json::parse(r->body) : nlohmann::json();
  }
};

TEST_F(AlarmApiTest, ReadOnlyRefusesEveryAction)
{
  start({});
  waterAlarm(now);
  for (const char *verb : { "acknowledge", "shelve", "unshelve" }) {
    auto r = post(std::string("/api/alarms/1/") + verb, "{}");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 403) << verb;
    EXPECT_EQ(r->body, "read-only: start tmx-web with --operator-header or --local-operator\n");
  }
  auto who = client->Get("/api/whoami");
  ASSERT_TRUE(who);
  EXPECT_EQ(nlohmann::json::parse(who->body)["canAcknowledge"], false);
}

TEST_F(AlarmApiTest, OperatorsActOnEpisodesAndBadRequestsAreRefused)
{
  OperatorOptions operators;
  operators.localOperator = "ann";
  start(operators);
  waterAlarm(now - 14);
  waterAlarm(now - 7);
  alarms->housekeeping({ 0, static_cast<std::int64_t>(now), 20.0, 40.0, false, now - 1 });

  nlohmann::json listed = alarmsJson();
  ASSERT_EQ(listed["alarms"].size(), 1u);
  const auto &e = listed["alarms"][0];
  EXPECT_EQ(e["kind"], "water");
  EXPECT_EQ(e["housing"], "electronics");
  EXPECT_EQ(e["severity"], "critical");
  EXPECT_EQ(e["trips"], 2);
  EXPECT_EQ(e["cleared"]["why"], "dry");
  EXPECT_EQ(e["latched"], true);
  EXPECT_EQ(listed["unacknowledged"], 1);
  EXPECT_EQ(metricsLine("tmx_alarm_unacknowledged"), "1");
  EXPECT_EQ(metricsLine("tmx_alarm_active"), "0");

  const std::string ack = "/api/alarms/1/acknowledge";
  const struct
  {
    std::string path, body, type;
    httplib::Headers headers;
    int status;
    const char *reason;
  } refusals[] = {
    { ack, "{}", "text/plain", {}, 415, "" },
    { ack, "{}", "application/json", { { "Origin", "http://evil.example" } }, 403, "" },
    { ack, "{}", "application/json", { { "Sec-Fetch-Site", "cross-site" } }, 403, "" },
    { "/api/alarms/99/acknowledge", "{}", "application/json", {}, 404, "no alarm 99" },
    { "/api/alarms/1/explode", "{}", "application/json", {}, 404, "" },
    { "/api/alarms/x/acknowledge", "{}", "application/json", {}, 404, "" },
    { ack, "{\"comment\":", "application/json", {}, 400, "not JSON" },
    { ack, "[1]", "application/json", {}, 400, "not a JSON object" },
    { ack, "{\"comment\":7}", "application/json", {}, 400, "comment" },
    { ack, "{\"colour\":\"red\"}", "application/json", {}, 400, "unknown member" },
    { ack, "{\"comment\":\"" + std::string(501, 'x') + "\"}", "application/json", {}, 400, "500" },
    { "/api/alarms/1/shelve", "{}", "application/json", {}, 400, "minutes missing" },
    { "/api/alarms/1/shelve", "{\"minutes\":1441}", "application/json", {}, 400, "minutes" },
    { "/api/alarms/1/unshelve", "", "application/json", {}, 409, "not shelved" },
  };
  for (const auto &c : refusals) {
    auto r = post(c.path, c.body, c.type, c.headers);
    ASSERT_TRUE(r) << c.path;
    EXPECT_EQ(r->status, c.status) << c.path << " " << c.body;
    EXPECT_NE(r->body.find(c.reason), std::string::npos) << r->body;
  }

  // Shelved, unshelved, acknowledged with a comment, and once more.
  auto shelved = post("/api/alarms/1/shelve", "{\"minutes\":60,\"comment\":\"plumber\"}");
  ASSERT_TRUE(shelved);
  ASSERT_EQ(shelved->status, 200) << shelved->body;
  EXPECT_EQ(nlohmann::json::parse(shelved->body)["shelved"]["until"], now + 3600);
  ASSERT_EQ(post("/api/alarms/1/unshelve", "")->status, 200);
  const std::string comment = "mopped \\\"up\\\"\\n\\u0007";
  auto acked = post(ack, "{\"comment\":\"" + comment + "\"}");
  ASSERT_TRUE(acked);
  ASSERT_EQ(acked->status, 200);
  auto j = nlohmann::json::parse(acked->body);
  EXPECT_EQ(j["acknowledged"]["by"], "ann");
  EXPECT_EQ(j["acknowledged"]["comment"], "mopped \"up\"\n\a");
  EXPECT_EQ(j["latched"], false);
  EXPECT_EQ(j["audit"].size(), 3u);
  EXPECT_EQ(j["audit"][2]["address"], "127.0.0.1");
  auto again = post(ack, "{\"comment\":\"again\"}");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 200);
  EXPECT_EQ(nlohmann::json::parse(again->body)["acknowledged"]["comment"], "mopped \"up\"\n\a");
  EXPECT_EQ(nlohmann::json::parse(again->body)["audit"].size(), 3u);
  EXPECT_EQ(alarmsJson()["alarms"].size(), 0u); // cleared and acknowledged: no longer current
  EXPECT_EQ(post("/api/alarms/1/shelve", "{\"minutes\":5}")->status, 409);

  EXPECT_EQ(metricsLine("tmx_alarm_unacknowledged"), "0");
  EXPECT_EQ(metricsLine("tmx_alarm_episodes_total"), "1");
  auto health = client->Get("/api/alarms/health?hours=1");
  ASSERT_TRUE(health);
  auto h = nlohmann::json::parse(health->body);
  EXPECT_EQ(h["timeToAcknowledge"]["longest"], 14.0);
  EXPECT_EQ(client->Get("/api/alarms/health?hours=0")->status, 400);
  EXPECT_EQ(client->Get("/api/alarms?state=some")->status, 400);
}

TEST_F(AlarmApiTest, StateAndAcknowledgementsSurviveARestart)
{
  OperatorOptions operators;
  operators.localOperator = "ann";
  start(operators);
  waterAlarm(now - 20);
  alarms->message({ 2, "ERROR: Spectrograph housing water alarm@10:00:00", 0, now - 10 });
  ASSERT_EQ(post("/api/alarms/2/acknowledge", "{\"comment\":\"seen\"}")->status, 200);
  stop();

  start(operators);
  waterAlarm(now - 5); // the same episode trips again, not a new one
  nlohmann::json listed = alarmsJson();
  ASSERT_EQ(listed["alarms"].size(), 2u);
  EXPECT_EQ(listed["alarms"][0]["id"], 2);
  EXPECT_EQ(listed["alarms"][0]["acknowledged"]["comment"], "seen");
  EXPECT_EQ(listed["alarms"][1]["id"], 1);
  EXPECT_EQ(listed["alarms"][1]["trips"], 2);
  nlohmann::json all = alarmsJson("?state=all&from=" + std::to_string(now - 3600));
  ASSERT_EQ(all["alarms"].size(), 2u);
  EXPECT_EQ(all["alarms"][0]["audit"][0]["action"], "acknowledge");
}

} // namespace
