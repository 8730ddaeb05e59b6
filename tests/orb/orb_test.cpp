#include "orb/Orb.h"
#include "orb/SignalWaiter.h"
#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

TEST(Describe, NamesUserAndSystemExceptions)
{
  EXPECT_EQ("InvalidName", tmx::orb::describe(CORBA::ORB::InvalidName()));
  EXPECT_EQ("TRANSIENT (minor 0x2a, COMPLETED_NO)",
            tmx::orb::describe(CORBA::TRANSIENT(0x2a, CORBA::COMPLETED_NO)));
  EXPECT_EQ("TIMEOUT (minor 0x0, COMPLETED_MAYBE)",
            tmx::orb::describe(CORBA::TIMEOUT(0, CORBA::COMPLETED_MAYBE)));
}

// The ORB-wide call time-out after initOrb, for each source of omniORB's
// configuration; a configured 0 (no time-out) is the user's to choose.
TEST(InitOrb, DefaultCallTimeoutUnlessOmniOrbsConfigurationSetsOne)
{
  tmx::test::TempDir dir("tmx-orb-test");
  const std::string config = dir.write("omniORB.cfg", "clientCallTimeOutPeriod = 3500\n");

  struct Case
  {
    std::vector<std::string> args;
    const char *env; // ORBclientCallTimeOutPeriod, or null
    bool configFile; // OMNIORB_CONFIG names the file above
    long long expectMs;
    bool configured;
  };
  const Case cases[] = {
    { {}, nullptr, false, 10000, false },
    { { "-ORBclientCallTimeOutPeriod", "1500" }, nullptr, false, 1500, true },
    { { "-ORBclientCallTimeOutPeriod", "0" }, nullptr, false, 0, true },
    { {}, "2500", false, 2500, true },
    { {}, nullptr, true, 3500, true },
    { { "-ORBclientCallTimeOutPeriod", "1500" }, "2500", true, 1500, true },
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.expectMs));
    tmx::test::ScopedEnv period("ORBclientCallTimeOutPeriod", c.env);
    tmx::test::ScopedEnv file("OMNIORB_CONFIG", c.configFile ? config.c_str() : nullptr);
    std::vector<std::string> strings{ "orb_test" };
    strings.insert(strings.end(), c.args.begin(), c.args.end());
    tmx::test::Args args(strings);
    CORBA::ORB_var orb = tmx::orb::initOrb(args.argc, args.argv());
    EXPECT_EQ(1, args.argc); // the ORB took its options
    EXPECT_EQ(c.configured, tmx::orb::callTimeoutConfigured());
    EXPECT_EQ(c.expectMs, tmx::orb::clientCallTimeout().count());
    EXPECT_TRUE(tmx::orb::destroyOrb(orb, "orb_test"));
  }
}

// A signal a waiter delivered and the thread its callback ran on.
using Delivery = std::pair<int, std::thread::id>;

// A thread started before the waiter still has the signals unblocked; a
// signal it takes is passed on, and the callback runs on the waiting
// thread, as it does for a signal sent to the process.
TEST(SignalWaiter, DeliversOnItsOwnThreadWhicheverThreadTookTheSignal)
{
  tmx::test::Gate go;
  go.hold();
  std::thread early([&] {
    go.pass();
    ::raise(SIGINT); // directed at this thread
  });

  struct sigaction before = {};
  ::sigaction(SIGINT, nullptr, &before);
  tmx::test::Recorder<Delivery> got;
  {
    tmx::orb::SignalWaiter waiter([&got](int sig) { got.add({ sig, std::this_thread::get_id() }); });
    go.release();
    ASSERT_TRUE(got.waitCount(1));
    early.join();
    ASSERT_EQ(0, ::kill(::getpid(), SIGTERM));
    ASSERT_TRUE(got.waitCount(2));
    EXPECT_EQ(SIGINT, waiter.received());
  }
  const std::vector<Delivery> delivered = got.items();
  ASSERT_EQ(2u, delivered.size());
  EXPECT_EQ(SIGINT, delivered[0].first);
  EXPECT_EQ(SIGTERM, delivered[1].first);
  EXPECT_EQ(delivered[0].second, delivered[1].second);
  EXPECT_NE(std::this_thread::get_id(), delivered[0].second);
  struct sigaction after = {};
  ::sigaction(SIGINT, nullptr, &after);
  EXPECT_EQ(before.sa_handler, after.sa_handler);
}

} // namespace
