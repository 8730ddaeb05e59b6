// The subscription's state machine with a fake clock and a fake notifier:
// back-off, staleness, disconnects, failed liveness checks, one report per
// outage.
#include "web/Subscription.h"

#include "tests/web/FakeClock.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

using namespace tmx::web;
using std::chrono::milliseconds;
using tmx::web::test::FakeClock;

namespace {

struct FakeNotifier : Connector
{
  std::deque<bool> subscribeResults; // empty: succeed
  bool isAlive = true;
  int subscribes = 0, checks = 0, unsubscribes = 0;

  bool subscribe(std::string &why) override
  {
    ++subscribes;
    bool ok = true;
    if (!subscribeResults.empty()) {
      ok = subscribeResults.front();
      subscribeResults.pop_front();
    }
    if (!ok)
      why = "TRANSIENT";
    return ok;
  }
  bool alive(std::string &why) override
  {
    ++checks;
    if (!isAlive)
      why = "TRANSIENT";
    return isAlive;
  }
  void unsubscribe() override { ++unsubscribes; }
};

class SubscriptionTest : public ::testing::Test
{
public:
  // Steps the machine as its thread would: each step when it is due.
  milliseconds run(milliseconds span)
  {
    milliseconds elapsed{ 0 };
    while (elapsed < span) {
      milliseconds wait = std::min(sub.step(), span - elapsed);
      clock.advance(wait);
      elapsed += wait;
      if (wait.count() == 0 && ++zeroSteps > 100)
        ADD_FAILURE() << "the machine does not settle";
    }
    return elapsed;
  }
  // Steps until the state is s; the time that took.
  milliseconds runUntil(LinkState s, milliseconds limit = milliseconds(60000))
  {
    milliseconds elapsed{ 0 };
    while (sub.status().state != s && elapsed < limit) {
      milliseconds wait = sub.step();
      if (sub.status().state == s)
        break;
      clock.advance(wait);
      elapsed += wait;
    }
    EXPECT_EQ(sub.status().state, s);
    return elapsed;
  }

  FakeClock clock;
  FakeNotifier notifier;
  std::vector<std::string> reports;
  Subscription sub{ notifier, clock, [this](const std::string &r) { reports.push_back(r); } };
  int zeroSteps = 0;
};

TEST_F(SubscriptionTest, BacksOffFromHalfASecondDoublingToFiveUntilSubscribed)
{
  notifier.subscribeResults = { false, false, false, false, false, false, false };
  EXPECT_EQ(sub.status().state, LinkState::starting);
  EXPECT_TRUE(sub.status().stale);
  // Attempts at 0, 0.5, 1.5, 3.5, 7.5, 12.5, 17.5; the eighth succeeds at 22.5 s.
  const milliseconds took = runUntil(LinkState::subscribed);
  EXPECT_EQ(notifier.subscribes, 8);
  EXPECT_NEAR(took.count(), 22500, 10);
  ASSERT_EQ(reports.size(), 2u) << "one report for the whole outage, one when it ends";
  EXPECT_NE(reports[0].find("cannot subscribe"), std::string::npos);
  EXPECT_EQ(reports[1], "subscribed to the notifier");
  EXPECT_FALSE(sub.status().stale);
}

TEST_F(SubscriptionTest, NoRecordFor15SecondsResubscribesAndReportsOncePerOutage)
{
  runUntil(LinkState::subscribed);
  reports.clear();
  // Records every 5 s keep it subscribed (liveness checks pass).
  for (int i = 0; i < 6; ++i) {
    run(milliseconds(5000));
    sub.recordArrived();
  }
  EXPECT_EQ(sub.status().state, LinkState::subscribed);
  EXPECT_EQ(notifier.subscribes, 1);
  EXPECT_TRUE(reports.empty());
  ASSERT_TRUE(sub.status().lastRecord);

  // Silence: after 15 s it is stale and subscribes again, reporting once
  // however long the silence lasts.
  const milliseconds took = runUntil(LinkState::reconnecting);
  EXPECT_NEAR(took.count(), 15000, 10);
  EXPECT_TRUE(sub.status().stale);
  run(milliseconds(60000));
  EXPECT_GE(notifier.subscribes, 4);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("no record for 15 s"), std::string::npos);

  // Records again: one more report, and the state holds.
  sub.recordArrived();
  EXPECT_EQ(sub.status().state, LinkState::subscribed);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_NE(reports[1].find("again"), std::string::npos);
}

TEST_F(SubscriptionTest, DisconnectOrFailedCheckResubscribesAtOnce)
{
  struct Case
  {
    const char *name;
    std::function<void(SubscriptionTest &)> lose;
    const char *reported;
    milliseconds within;
  };
  const Case cases[] = {
    { "disconnect",
      [](SubscriptionTest &t) { t.sub.disconnected("shutting down"); },
      "disconnected by the notifier: shutting down",
      milliseconds(0) },
    { "dead notifier",
      [](SubscriptionTest &t) { t.notifier.isAlive = false; },
      "does not answer",
      milliseconds(5001) },
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    notifier.isAlive = true;
    runUntil(LinkState::subscribed);
    const int before = notifier.subscribes;
    sub.recordArrived();
    reports.clear();
    c.lose(*this);
    notifier.subscribeResults = { false, false };
    const milliseconds lost = runUntil(LinkState::reconnecting);
    EXPECT_LE(lost, c.within);
    notifier.isAlive = true;
    // Attempts at once, after 0.5 s and after 1 s more.
    const milliseconds back = runUntil(LinkState::subscribed);
    EXPECT_NEAR(back.count(), 1500, 10);
    EXPECT_EQ(notifier.subscribes - before, 3);
    ASSERT_FALSE(reports.empty());
    EXPECT_NE(reports[0].find(c.reported), std::string::npos) << reports[0];
  }
}

} // namespace
