// The shared test support itself: processes, the private naming service
// and the in-process ORB.
#include "tests/support/TestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>

using namespace tmx::test;

TEST(TestSupport, RunCapturesOutputStatusAndTimeout)
{
  RunResult r = run({ "/bin/sh", "-c", "cat; echo err >&2; exit 3" }, milliseconds(5000), {}, "hello\n");
  EXPECT_TRUE(r.status.exited);
  EXPECT_EQ(3, r.status.code);
  EXPECT_EQ("hello\n", r.out);
  EXPECT_EQ("err\n", r.err);

  r = run({ "/bin/sh", "-c", "echo $TMX_PROBE" }, milliseconds(5000), { "TMX_PROBE=42" });
  EXPECT_EQ("42\n", r.out);

  auto start = std::chrono::steady_clock::now();
  // Input the child never reads (more than a pipe holds) and a child that
  // never ends: both bounded by the time-out.
  r = run({ "/bin/sleep", "30" }, milliseconds(200), {}, std::string(1 << 20, 'x'));
  EXPECT_TRUE(r.status.timedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(TestSupport, ChildStopsWithSigkillWhenSigtermIsIgnored)
{
  ChildProcess child({ "/bin/sh", "-c", "trap '' TERM; echo ready; while :; do sleep 1; done" });
  ASSERT_TRUE(child.waitForOut("ready"));
  ExitStatus s = child.stop(milliseconds(200));
  EXPECT_EQ(SIGKILL, s.signal);
  EXPECT_FALSE(child.running());
}

TEST(TestSupport, NamingServiceAnswersAndRestartsWithItsBindings)
{
  {
    CorbaEnv env;
    EXPECT_GT(env.naming().port(), 0);
    EXPECT_FALSE(env.naming().isBound("Notifier"));
    {
      TestOrb orb(env.orbArgs());
      CORBA::Object_var nothing = orb.resolve("NoSuchName");
      EXPECT_TRUE(CORBA::is_nil(nothing));
      orb.rebind("Probe", orb.naming());
      env.naming().stop();
      EXPECT_FALSE(env.naming().running());
      env.naming().start();
      EXPECT_TRUE(orb.waitBound("Probe", true));
      EXPECT_TRUE(orb.unbind("Probe"));
      EXPECT_FALSE(orb.unbind("Probe"));
    }
    // A second ORB in the same process after the first was destroyed.
    TestOrb again(env.orbArgs());
    EXPECT_TRUE(CORBA::is_nil(CORBA::Object_var(again.resolve("Probe"))));
  }
}

TEST(TestSupport, ChildrenDieWithTheTestProcess)
{
  if (std::getenv("TMX_ABORT_WITH_A_CHILD")) {
    // The inner run: start a long sleep, say its pid, die without clean-up.
    ChildProcess child({ "sleep", "300" });
    std::printf("child %d\n", static_cast<int>(child.pid()));
    std::fflush(stdout);
    std::abort();
  }
  RunResult r = run({ "/proc/self/exe", "--gtest_filter=TestSupport.ChildrenDieWithTheTestProcess" },
                    defaultTimeout,
                    { "TMX_ABORT_WITH_A_CHILD=1" });
  ASSERT_EQ(SIGABRT, r.status.signal) << r.out << r.err;
  auto at = r.out.find("child ");
  ASSERT_NE(std::string::npos, at) << r.out;
  int pid = std::stoi(r.out.substr(at + 6));
  auto gone = [pid] {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
      return true;
    // A zombie waiting for a reaper counts as gone.
    auto paren = line.rfind(')');
    return paren != std::string::npos && line.size() > paren + 2 && line[paren + 2] == 'Z';
  };
  EXPECT_TRUE(eventually(gone, milliseconds(5000)));
}
