#include "orb/Orb.h"
#include "orb/SignalWaiter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using std::chrono::milliseconds;

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
  char config[] = "/tmp/tmx-orb-test-XXXXXX";
  const int fd = ::mkstemp(config);
  ASSERT_GE(fd, 0);
  const std::string text = "clientCallTimeOutPeriod = 3500\n";
  ASSERT_EQ(static_cast<ssize_t>(text.size()), ::write(fd, text.data(), text.size()));
  ::close(fd);

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
    if (c.env)
      ::setenv("ORBclientCallTimeOutPeriod", c.env, 1);
    if (c.configFile)
      ::setenv("OMNIORB_CONFIG", config, 1);
    std::vector<std::string> strings{ "orb_test" };
    strings.insert(strings.end(), c.args.begin(), c.args.end());
    std::vector<char *> argv;
    for (auto &s : strings)
      argv.push_back(s.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(strings.size());
    CORBA::ORB_var orb = tmx::orb::initOrb(argc, argv.data());
    EXPECT_EQ(1, argc); // the ORB took its options
    EXPECT_EQ(c.configured, tmx::orb::callTimeoutConfigured());
    EXPECT_EQ(c.expectMs, tmx::orb::clientCallTimeout().count());
    EXPECT_TRUE(tmx::orb::destroyOrb(orb, "orb_test"));
    ::unsetenv("ORBclientCallTimeOutPeriod");
    ::unsetenv("OMNIORB_CONFIG");
  }
  ::unlink(config);
}

// Collects what a waiter delivers and on which thread.
struct Deliveries
{
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<int> signals;
  std::vector<std::thread::id> threads;

  void add(int sig)
  {
    std::lock_guard<std::mutex> lock(mutex);
    signals.push_back(sig);
    threads.push_back(std::this_thread::get_id());
    changed.notify_all();
  }
  bool waitCount(std::size_t n)
  {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, milliseconds(5000), [&] { return signals.size() >= n; });
  }
};

// A thread started before the waiter still has the signals unblocked; a
// signal it takes is passed on, and the callback runs on the waiting
// thread, as it does for a signal sent to the process.
TEST(SignalWaiter, DeliversOnItsOwnThreadWhicheverThreadTookTheSignal)
{
  std::mutex mutex;
  std::condition_variable go;
  bool raiseNow = false;
  std::thread early([&] {
    std::unique_lock<std::mutex> lock(mutex);
    go.wait(lock, [&] { return raiseNow; });
    ::raise(SIGINT); // directed at this thread
  });

  struct sigaction before = {};
  ::sigaction(SIGINT, nullptr, &before);
  Deliveries got;
  {
    tmx::orb::SignalWaiter waiter([&got](int sig) { got.add(sig); });
    {
      std::lock_guard<std::mutex> lock(mutex);
      raiseNow = true;
    }
    go.notify_all();
    ASSERT_TRUE(got.waitCount(1));
    early.join();
    ASSERT_EQ(0, ::kill(::getpid(), SIGTERM));
    ASSERT_TRUE(got.waitCount(2));
    EXPECT_EQ(SIGINT, waiter.received());
  }
  EXPECT_EQ((std::vector<int>{ SIGINT, SIGTERM }), got.signals);
  EXPECT_EQ(got.threads[0], got.threads[1]);
  EXPECT_NE(std::this_thread::get_id(), got.threads[0]);
  struct sigaction after = {};
  ::sigaction(SIGINT, nullptr, &after);
  EXPECT_EQ(before.sa_handler, after.sa_handler);
}

} // namespace
