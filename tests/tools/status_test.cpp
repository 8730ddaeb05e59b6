// tmx-status against a stand-in TMX::System bound as "TMXSYSTEM", against
// nothing, and against a monitor that is gone or does not answer.
#include <gtest/gtest.h>

#include "tests/tools/ToolTest.h"

using namespace tmx::test;

namespace {

class FakeSystem : public POA_TMX::System
{
public:
  explicit FakeSystem(CORBA::ULongLong elapsed)
    : elapsed_(elapsed)
  {
  }

  CORBA::ULongLong elapsedTime() override
  {
    gate_.pass();
    return elapsed_;
  }

  void disconnect(const char *reason) override { reasons_.add(reason); }

  void hold() { gate_.hold(); }
  void release() { gate_.release(); }
  std::vector<std::string> reasons() { return reasons_.items(); }

private:
  const CORBA::ULongLong elapsed_;
  Recorder<std::string> reasons_;
  Gate gate_;
};

} // namespace

TEST(Status, PrintsElapsedTimeAndSendsDisconnect)
{
  FakeSystem system(3725);
  CorbaEnv env;
  TestOrb orb(env.orbArgs());
  CORBA::Object_var ref = orb.activate(&system);
  orb.rebind("TMXSYSTEM", ref);

  RunResult r = run(programArgs("tmx-status", env.orbArgs()));
  EXPECT_TRUE(r.status.ok()) << r.err;
  EXPECT_EQ("elapsedTime: 3725 s (1:02:05)\n", r.out);
  EXPECT_TRUE(system.reasons().empty());

  r = run(programArgs("tmx-status", env.orbArgs(), { "--disconnect", "operator left" }));
  EXPECT_TRUE(r.status.ok()) << r.err;
  EXPECT_EQ("elapsedTime: 3725 s (1:02:05)\ndisconnect sent: operator left\n", r.out);
  EXPECT_EQ(std::vector<std::string>{ "operator left" }, system.reasons());
}

TEST(Status, ShowsLongAndNegativeRunningTimes)
{
  FakeSystem longRun(100 * 3600 + 59), behind(static_cast<CORBA::ULongLong>(-5LL));
  CorbaEnv env;
  TestOrb orb(env.orbArgs());
  CORBA::Object_var a = orb.activate(&longRun), b = orb.activate(&behind);
  orb.rebind("TMXSYSTEM", a);
  RunResult r = run(programArgs("tmx-status", env.orbArgs()));
  EXPECT_EQ("elapsedTime: 360059 s (100:00:59)\n", r.out);
  // The monitor's elapsed seconds are a signed difference widened with sign.
  orb.rebind("TMXSYSTEM", b);
  r = run(programArgs("tmx-status", env.orbArgs()));
  EXPECT_EQ("elapsedTime: 18446744073709551611 s (-0:00:05)\n", r.out);
}

TEST(Status, NothingBoundOrNoNamingServiceFailsClearly)
{
  CorbaEnv env;
  RunResult r = run(programArgs("tmx-status", env.orbArgs()));
  EXPECT_EQ(1, r.status.code);
  EXPECT_EQ("", r.out);
  EXPECT_NE(std::string::npos, r.err.find("the monitor is not running: nothing is bound as \"TMXSYSTEM\""))
    << r.err;

  std::string closed =
    "NameService=corbaloc::127.0.0.1:" + std::to_string(freeLoopbackPort()) + "/NameService";
  r = run(programArgs("tmx-status", { "-ORBInitRef", closed }));
  EXPECT_EQ(3, r.status.code);
  EXPECT_NE(std::string::npos, r.err.find("cannot reach the naming service")) << r.err;

  r = run(programArgs("tmx-status", {}));
  EXPECT_EQ(1, r.status.code);
  EXPECT_NE(std::string::npos, r.err.find("no naming service given")) << r.err;

  r = run(programArgs("tmx-status", {}, { "--disconnect" }));
  EXPECT_EQ(2, r.status.code);
  r = run(programArgs("tmx-status", {}, { "--timeout", "0" }));
  EXPECT_EQ(2, r.status.code);
}

TEST(Status, StaleOrSilentMonitorFailsWithinTheTimeOut)
{
  FakeSystem silent(1);
  CorbaEnv env;
  TestOrb orb(env.orbArgs());

  // A monitor that died without unbinding: its address no longer answers.
  CORBA::Object_var stale = orb.orb()->string_to_object(
    ("corbaloc::127.0.0.1:" + std::to_string(freeLoopbackPort()) + "/TMX").c_str());
  orb.rebind("TMXSYSTEM", stale);
  RunResult r = run(programArgs("tmx-status", env.orbArgs()));
  EXPECT_EQ(3, r.status.code);
  EXPECT_NE(std::string::npos, r.err.find("cannot reach the monitor")) << r.err;

  // Something else bound under the name.
  orb.rebind("TMXSYSTEM", orb.naming());
  r = run(programArgs("tmx-status", env.orbArgs()));
  EXPECT_EQ(1, r.status.code);
  EXPECT_NE(std::string::npos, r.err.find("is not a TMX::System")) << r.err;

  // A monitor that accepts the call and never answers.
  CORBA::Object_var ref = orb.activate(&silent);
  orb.rebind("TMXSYSTEM", ref);
  silent.hold();
  auto start = std::chrono::steady_clock::now();
  r = run(programArgs("tmx-status", env.orbArgs(), { "--timeout", "300" }));
  auto took = std::chrono::steady_clock::now() - start;
  silent.release();
  EXPECT_EQ(3, r.status.code);
  EXPECT_NE(std::string::npos, r.err.find("TIMEOUT")) << r.err;
  EXPECT_LT(took, std::chrono::seconds(5));
}
