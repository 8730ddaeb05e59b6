// The alert client's rules on explicit times, against a recording sender:
// what is posted when, the silences of acknowledged and shelved episodes
// and their order against resolutions, escalation, and back-off.
#include "web/AlertClient.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using namespace tmx;
using namespace tmx::web;
using Json = nlohmann::json;

const std::string am = "http://127.0.0.1:9093";

struct Call
{
  double at;
  std::string method, path;
  Json body;
};

// Records every exchange; answers 200 (a silence id for a new silence)
// unless `down`.
class RecordingSender : public AlertSender
{
public:
  HttpExchange send(const std::string &method, const std::string &url, const std::string &body) override
  {
    calls.push_back({ now, method, url.substr(am.size()), body.empty() ? Json() : Json::parse(body) });
    if (down)
      return { 0, "", "Connection refused" };
    if (method == "GET")
      return { 200, listed, "" };
    if (method == "POST" && url.find("/silences") != std::string::npos)
      return { 200, "{\"silenceID\":\"s" + std::to_string(++made) + "\"}", "" };
    return { 200, "", "" };
  }
  std::vector<Call> take()
  {
    std::vector<Call> c;
    c.swap(calls);
    return c;
  }

  double now = 0;
  bool down = false;
  std::string listed = "[]";
  int made = 0;
  std::vector<Call> calls;
};

archive::Episode water(std::int64_t id = 7)
{
  archive::Episode e;
  e.id = id;
  e.housing = 0;
  e.kind = "water";
  e.severity = "critical";
  e.text = "ERROR: TMX-E1 water alarm";
  e.opened = 1000;
  e.lastTrip = 1000;
  e.latching = true;
  return e;
}

archive::OperatorAction by(double at, std::string comment = "")
{
  return { "ann", "127.0.0.1", at, std::move(comment) };
}

class AlertClientTest : public ::testing::Test
{
protected:
  static AlertSettings made()
  {
    AlertSettings s;
    s.urls = { am + "/" };
    s.externalUrl = "http://dash.example/";
    s.instrument = "spectro-1";
    return s;
  }
  void round(const std::vector<archive::Episode> &current, double now)
  {
    sender.now = now;
    client.round(current, now);
  }
  // alertname -> endsAt of the alerts one posting carried.
  static std::map<std::string, double> ends(const Call &c)
  {
    std::map<std::string, double> m;
    for (const Json &a : c.body)
      m[a["labels"]["alertname"].get<std::string>() + "/" + a["labels"]["episode"].get<std::string>()] =
        parse(a["endsAt"]);
    return m;
  }
  static double parse(const Json &t)
  {
    std::tm tm{};
    strptime(t.get<std::string>().c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
    return static_cast<double>(timegm(&tm));
  }

  AlertSettings settings = made();
  RecordingSender sender;
  std::vector<std::string> reports;
  std::vector<std::pair<std::string, bool>> outcomes;
  AlertClient client{ settings,
                      sender,
                      [this](const std::string &r) { reports.push_back(r); },
                      [this](const std::string &u, bool ok) { outcomes.emplace_back(u, ok); } };
};

TEST_F(AlertClientTest, WhichEpisodesAreAlertsAndTheirNames)
{
  const auto shelvedUntil = [](double until) {
    archive::Episode e = water();
    e.shelved = archive::Shelving{ by(1001), until };
    return e;
  };
  archive::Episode latched = water(), over = water(), acked = water(), noHousing = water(), other = water();
  latched.cleared = 1010;
  latched.clearedWhy = "dry";
  over = latched;
  over.acknowledged = by(1020);
  acked.acknowledged = by(1020);
  noHousing.housing.reset();
  noHousing.kind = "log-write";
  other.kind = "something-new";
  const struct
  {
    const char *what;
    archive::Episode episode;
    const char *alertname; // nullptr: no alert
  } cases[] = {
    { "active", water(), "TmxWaterLeak" },
    { "latched", latched, "TmxWaterLeak" },
    { "acknowledged, still active", acked, "TmxWaterLeak" },
    { "dry and acknowledged", over, nullptr },
    { "shelved", shelvedUntil(2000), nullptr },
    { "shelving over", shelvedUntil(1050), "TmxWaterLeak" },
    { "no housing", noHousing, "TmxLogWriteFailure" },
    { "a kind of its own", other, "TmxAlarm" },
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<Alert> alerts = alertsOf(c.episode, settings, 1100);
    ASSERT_EQ(alerts.size(), c.alertname ? 1u : 0u);
    if (c.alertname) {
      EXPECT_EQ(alerts[0].labels.at("alertname"), c.alertname);
      EXPECT_EQ(alerts[0].labels.count("housing"), c.episode.housing ? 1u : 0u);
    }
  }
}

TEST_F(AlertClientTest, PostedAtOnceAgainEachIntervalAndResolvedWhenOver)
{
  archive::Episode e = water();
  e.peakValue = 1;
  round({ e }, 1000.5);
  std::vector<Call> calls = sender.take();
  ASSERT_EQ(calls.size(), 2u); // the silences looked up, then the alert
  EXPECT_EQ(calls[0].method + " " + calls[0].path, "GET /api/v2/silences");
  EXPECT_EQ(calls[1].method + " " + calls[1].path, "POST /api/v2/alerts");
  const Json &a = calls[1].body.at(0);
  EXPECT_EQ(a["labels"],
            (Json{ { "alertname", "TmxWaterLeak" },
                   { "instrument", "spectro-1" },
                   { "housing", "electronics" },
                   { "severity", "critical" },
                   { "episode", "7" } }));
  EXPECT_EQ(a["annotations"]["summary"], e.text);
  EXPECT_EQ(a["annotations"]["dashboard"], "http://dash.example/#alarm=7");
  EXPECT_NE(a["annotations"]["description"].get<std::string>().find("1 trip"), std::string::npos);
  EXPECT_EQ(a["startsAt"], "1970-01-01T00:16:40.000Z");
  EXPECT_EQ(parse(a["endsAt"]), 1090);

  round({ e }, 1020); // nothing new, not due
  EXPECT_TRUE(sender.take().empty());
  e.trips = 2; // a trip is posted at once
  round({ e }, 1021);
  ASSERT_EQ(sender.take().size(), 1u);
  round({ e }, 1051); // due again
  calls = sender.take();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(ends(calls[0]), (std::map<std::string, double>{ { "TmxWaterLeak/7", 1141 } }));
  round({}, 1060); // over: resolved once, then nothing
  calls = sender.take();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(ends(calls[0]), (std::map<std::string, double>{ { "TmxWaterLeak/7", 1060 } }));
  round({}, 1200);
  EXPECT_TRUE(sender.take().empty());
}

TEST_F(AlertClientTest, AcknowledgedOrShelvedIsSilencedAndTheSilenceEndsBeforeTheResolution)
{
  const struct
  {
    const char *what;
    bool shelve;
    double endsAt;
    const char *comment;
  } cases[] = {
    { "acknowledged", false, 1100 + 7 * 86400, "mopped up" },
    { "shelved", true, 4000, "shelved in tmx-web" },
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    RecordingSender s;
    AlertClient client(settings, s, [](const std::string &) {});
    archive::Episode e = water();
    client.round({ e }, 1000);
    if (c.shelve)
      e.shelved = archive::Shelving{ by(1100), 4000 };
    else
      e.acknowledged = by(1100, "mopped up");
    s.calls.clear();
    client.round({ e }, 1100);
    ASSERT_GE(s.calls.size(), 2u);
    EXPECT_EQ(s.calls[0].method + " " + s.calls[0].path, "POST /api/v2/silences");
    const Json &silence = s.calls[0].body;
    EXPECT_EQ(silence["createdBy"], "ann");
    EXPECT_EQ(silence["comment"], c.comment);
    EXPECT_EQ(parse(silence["endsAt"]), c.endsAt);
    EXPECT_EQ(silence["matchers"].size(), 3u);
    for (const Json &m : silence["matchers"])
      EXPECT_EQ(m["value"],
                m["name"] == "alertname" ? "TmxWaterLeak"
                : m["name"] == "episode" ? "7"
                                         : "spectro-1");
    EXPECT_EQ(s.calls[1].path, "/api/v2/alerts"); // still firing, or resolved under the silence
    EXPECT_EQ(s.calls[1].body.size(), 1u);

    // Over (dry and acknowledged; or unshelved and gone): first the
    // silence is expired, then the alert resolved.
    s.calls.clear();
    client.round({}, 1200);
    std::vector<std::string> order;
    for (const Call &call : s.calls)
      order.push_back(call.method + " " + call.path);
    if (c.shelve) // resolved when shelved
      EXPECT_EQ(order, (std::vector<std::string>{ "DELETE /api/v2/silence/s1" }));
    else
      EXPECT_EQ(order, (std::vector<std::string>{ "DELETE /api/v2/silence/s1", "POST /api/v2/alerts" }));
  }
}

TEST_F(AlertClientTest, ARestartFindsItsSilencesAgain)
{
  archive::Episode e = water();
  e.acknowledged = by(1100, "mopped up");
  const std::optional<Silence> wanted = silenceOf(e, settings, 1200);
  ASSERT_TRUE(wanted);
  Json listed = Json::parse(silenceBody(*wanted));
  listed["id"] = "old";
  listed["status"] = { { "state", "active" } };
  Json other = listed; // the same form, another operator's: left alone
  other["id"] = "theirs";
  other["createdBy"] = "bob";
  sender.listed = Json::array({ other, listed }).dump();
  round({ e }, 1200);
  std::vector<std::string> order;
  for (const Call &call : sender.take())
    order.push_back(call.method + " " + call.path);
  EXPECT_EQ(order, (std::vector<std::string>{ "GET /api/v2/silences", "POST /api/v2/alerts" }));
  round({}, 1300);
  ASSERT_FALSE(sender.calls.empty());
  EXPECT_EQ(sender.calls[0].path, "/api/v2/silence/old");
}

TEST_F(AlertClientTest, UnacknowledgedTooLongIsEscalatedUntilAcknowledged)
{
  archive::Episode e = water(); // opened at 1000, escalated at 1900
  round({ e }, 1899);
  EXPECT_EQ(ends(sender.take().back()).size(), 1u);
  round({ e }, 1900);
  std::vector<Call> calls = sender.take();
  ASSERT_EQ(calls.size(), 1u);
  ASSERT_EQ(calls[0].body.size(), 2u);
  const Json &page =
    calls[0].body[1]["labels"]["alertname"] == "TmxAlarmUnacknowledged" ? calls[0].body[1] : calls[0].body[0];
  EXPECT_EQ(page["labels"]["alertname"], "TmxAlarmUnacknowledged");
  EXPECT_EQ(page["labels"]["severity"], "page");
  EXPECT_EQ(page["labels"]["housing"], "electronics");
  e.acknowledged = by(1950);
  round({ e }, 1950);
  calls = sender.take();
  ASSERT_EQ(calls.size(), 2u); // the silence, then the page resolved
  EXPECT_EQ(
    ends(calls[1]),
    (std::map<std::string, double>{ { "TmxWaterLeak/7", 2040 }, { "TmxAlarmUnacknowledged/7", 1950 } }));
}

TEST_F(AlertClientTest, ADownAlertmanagerIsTriedWithBackOffAndBroughtUpToDate)
{
  round({ water(1), water(2) }, 1000);
  sender.take();
  sender.down = true;
  std::vector<double> tried;
  for (double t = 1001; t <= 1100; t += 1) {
    round({ water(2) }, t); // 1 is over while it is down
    if (!sender.take().empty())
      tried.push_back(t);
  }
  // Every exchange failed is counted; the first tells it once.
  EXPECT_EQ(tried, (std::vector<double>{ 1001, 1002, 1004, 1008, 1016, 1032, 1062, 1092 }));
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("failed (POST /api/v2/alerts: Connection refused)"), std::string::npos)
    << reports[0];
  EXPECT_EQ(client.up(am), false);
  EXPECT_EQ(client.unsentResolutions(am), 1u);
  EXPECT_EQ(std::count(outcomes.begin(), outcomes.end(), std::make_pair(am, false)), 8);

  sender.down = false;
  round({ water(2) }, 1122);
  const std::vector<Call> calls = sender.take();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].method, "GET"); // its silences, which it may have lost
  EXPECT_EQ(ends(calls[1]),
            (std::map<std::string, double>{ { "TmxWaterLeak/1", 1001 }, { "TmxWaterLeak/2", 1212 } }));
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_NE(reports[1].find("answers again"), std::string::npos);
  EXPECT_EQ(client.unsentResolutions(am), 0u);
}

} // namespace

// Alertmanager's times come back as RFC 3339 in whatever zone it writes:
// the same instant however it is written.
TEST(AlertJson, SilenceTimesAreReadInTheirOwnZone)
{
  const auto silences = tmx::web::parseSilences(
    R"([{"id":"a","matchers":[],"startsAt":"2026-12-08T10:00:00.250Z","endsAt":"2026-12-08T11:30:00+01:00",)"
    R"("createdBy":"ann","comment":"","status":{"state":"active"}}])");
  ASSERT_TRUE(silences && silences->size() == 1);
  EXPECT_DOUBLE_EQ((*silences)[0].startsAt, 1796724000.25);
  EXPECT_DOUBLE_EQ((*silences)[0].endsAt, 1796725800.0);
}
