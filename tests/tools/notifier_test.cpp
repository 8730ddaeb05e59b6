// tmx-notifier as a separate process: subscriptions, delivery order,
// filters, broken and slow consumers, shutdown.
#include <csignal>
#include <gtest/gtest.h>
#include <utility>

#include "tests/tools/ToolTest.h"

using namespace tmx::test;

namespace {

std::vector<std::string> sequence(const std::string &prefix, int n)
{
  std::vector<std::string> v;
  for (int i = 0; i < n; ++i)
    v.push_back(prefix + std::to_string(i));
  return v;
}

} // namespace

TEST(Notifier, SubscribeDuplicateAndUnknownUnsubscribeAreRefused)
{
  // Servants outlive the ORB: declared before the set-up that destroys it.
  RecordingConsumer a, b;
  NotifierSetup s;
  Event_Comm::Consumer_var ra = s.activate(a), rb = s.activate(b);

  s.notifier->subscribe(ra, "");
  EXPECT_THROW(s.notifier->subscribe(ra, ""), Event_Comm::Notifier::CannotSubscribe);
  // A different filter does not make it a second subscription.
  EXPECT_THROW(s.notifier->subscribe(ra, "housekeeping"), Event_Comm::Notifier::CannotSubscribe);
  EXPECT_THROW(s.notifier->unsubscribe(rb, ""), Event_Comm::Notifier::CannotUnsubscribe);
  EXPECT_THROW(s.notifier->subscribe(Event_Comm::Consumer::_nil(), ""),
               Event_Comm::Notifier::CannotSubscribe);
  try {
    s.notifier->subscribe(rb, "housekeeping bogus");
    FAIL() << "a bad filter term was accepted";
  } catch (const Event_Comm::Notifier::CannotSubscribe &e) {
    EXPECT_NE(std::string::npos, std::string(e.reason_.in()).find("bogus"));
  }

  s.notifier->unsubscribe(ra, "");
  EXPECT_THROW(s.notifier->unsubscribe(ra, ""), Event_Comm::Notifier::CannotUnsubscribe);
  // Unsubscribed: nothing more arrives; b (subscribed now) gets the event.
  s.notifier->subscribe(rb, "");
  s.notifier->push(makeEvent("after"));
  ASSERT_TRUE(b.waitTags(1));
  EXPECT_TRUE(a.tags().empty());
  // And a may subscribe again.
  s.notifier->subscribe(ra, "");
  s.notifier->push(makeEvent("again"));
  ASSERT_TRUE(a.waitTags(1));
  EXPECT_EQ(std::vector<std::string>{ "again" }, a.tags());
}

TEST(Notifier, ConsumerMayUnsubscribeFromInsideItsPush)
{
  RecordingConsumer leaving, staying;
  NotifierSetup s;
  Event_Comm::Consumer_var rl = s.activate(leaving), rs = s.activate(staying);
  bool first = true;
  leaving.onPush = [&] {
    if (std::exchange(first, false))
      s.notifier->unsubscribe(rl, "");
  };
  s.notifier->subscribe(rl, "");
  s.notifier->subscribe(rs, "");
  for (int i = 0; i < 3; ++i)
    s.notifier->push(makeEvent("e" + std::to_string(i)));
  ASSERT_TRUE(staying.waitTags(3));
  ASSERT_TRUE(leaving.waitTags(1));
  EXPECT_TRUE(s.env.notifier()->waitForErr("consumer #1 unsubscribed"));
  s.notifier->push(makeEvent("e3"));
  ASSERT_TRUE(staying.waitTags(4));
  EXPECT_EQ(std::vector<std::string>{ "e0" }, leaving.tags());
}

TEST(Notifier, KilledNotifierLeavesItsBindingAndARestartTakesItOver)
{
  RecordingConsumer c;
  NotifierSetup s;
  CORBA::Object_var before = s.orb.resolve("Notifier");
  EXPECT_EQ(SIGKILL, s.env.killNotifier().signal);
  CORBA::Object_var stale = s.orb.resolve("Notifier");
  EXPECT_FALSE(CORBA::is_nil(stale));
  s.env.restartNotifier();
  CORBA::Object_var after = s.orb.resolve("Notifier");
  EXPECT_FALSE(after->_is_equivalent(before));
  Event_Comm::Notifier_var fresh = Event_Comm::Notifier::_narrow(after);
  Event_Comm::Consumer_var r = s.activate(c);
  fresh->subscribe(r, "");
  fresh->push(makeEvent("x"));
  ASSERT_TRUE(c.waitTags(1));
}

TEST(Notifier, EveryConsumerGetsEveryEventInPushOrder)
{
  RecordingConsumer c[3];
  NotifierSetup s;
  Event_Comm::Consumer_var r[3];
  for (int i = 0; i < 3; ++i) {
    r[i] = s.activate(c[i]);
    s.notifier->subscribe(r[i], "");
  }
  // A push with no consumer subscribed is fine too; here there are three.
  const int n = 200;
  for (int i = 0; i < n; ++i)
    s.notifier->push(
      makeEvent("e" + std::to_string(i), housekeepingValue(ELECTRONICS_HOUSING, i, i, false, i)));
  for (auto &consumer : c) {
    ASSERT_TRUE(consumer.waitTags(n));
    EXPECT_EQ(sequence("e", n), consumer.tags());
  }
}

TEST(Notifier, FiltersSelectByKindRepositoryIdAndTag)
{
  RecordingConsumer hk, msgOrEvent, tagged, all;
  NotifierSetup s;
  Event_Comm::Consumer_var rhk = s.activate(hk), rme = s.activate(msgOrEvent), rt = s.activate(tagged),
                           ra = s.activate(all);
  s.notifier->subscribe(rhk, "housekeeping");
  s.notifier->subscribe(rme, " message,IDL:TMX/Event:1.0 ");
  s.notifier->subscribe(rt, "tag:ops string");
  s.notifier->subscribe(ra, " , ");

  s.notifier->push(makeEvent("hk", housekeepingValue(SPECTROGRAPH_HOUSING, 1, 2, false, 3)));
  s.notifier->push(makeEvent("msg", messageValue("m", WARNING, 4)));
  s.notifier->push(makeEvent("ev", eventValue(1, "HEATON", 5)));
  s.notifier->push(makeEvent("ops", consoleValue("line")));
  s.notifier->push(makeEvent("str", stringValue("heaton")));
  s.notifier->push(makeEvent("empty"));

  ASSERT_TRUE(all.waitTags(6));
  ASSERT_TRUE(hk.waitTags(1));
  ASSERT_TRUE(msgOrEvent.waitTags(2));
  ASSERT_TRUE(tagged.waitTags(2));
  // The last event reached "all"; the filtered queues were filled by the
  // same pushes before it, so nothing more is on its way to them.
  EXPECT_EQ(std::vector<std::string>({ "hk", "msg", "ev", "ops", "str", "empty" }), all.tags());
  EXPECT_EQ(std::vector<std::string>({ "hk" }), hk.tags());
  EXPECT_EQ(std::vector<std::string>({ "msg", "ev" }), msgOrEvent.tags());
  EXPECT_EQ(std::vector<std::string>({ "ops", "str" }), tagged.tags());
}

TEST(Notifier, ConsumerWhosePushFailsIsDroppedAndOthersKeepReceiving)
{
  RecordingConsumer bad, good;
  NotifierSetup s;
  bad.failPushes();
  Event_Comm::Consumer_var rbad = s.activate(bad), rgood = s.activate(good);
  s.notifier->subscribe(rbad, "");
  s.notifier->subscribe(rgood, "");

  for (int i = 0; i < 5; ++i)
    s.notifier->push(makeEvent("e" + std::to_string(i)));
  ASSERT_TRUE(good.waitTags(5));
  ASSERT_TRUE(s.env.notifier()->waitForErr("consumer dropped"));
  EXPECT_NE(std::string::npos, s.env.notifier()->err().find("BAD_OPERATION"));
  EXPECT_TRUE(bad.waitEntered(1));
  // Dropped means unsubscribed: the notifier no longer knows it.
  EXPECT_THROW(s.notifier->unsubscribe(rbad, ""), Event_Comm::Notifier::CannotUnsubscribe);
  for (int i = 5; i < 10; ++i)
    s.notifier->push(makeEvent("e" + std::to_string(i)));
  ASSERT_TRUE(good.waitTags(10));
  EXPECT_EQ(sequence("e", 10), good.tags());
}

TEST(Notifier, SlowConsumerDelaysNeitherTheSupplierNorOtherConsumers)
{
  RecordingConsumer slow, fast;
  NotifierSetup s;
  slow.hold();
  Event_Comm::Consumer_var rslow = s.activate(slow), rfast = s.activate(fast);
  s.notifier->subscribe(rslow, "");
  s.notifier->subscribe(rfast, "");

  const int n = 20;
  auto worst = std::chrono::steady_clock::duration::zero();
  for (int i = 0; i < n; ++i) {
    auto start = std::chrono::steady_clock::now();
    s.notifier->push(makeEvent("e" + std::to_string(i)));
    worst = std::max(worst, std::chrono::steady_clock::now() - start);
  }
  ASSERT_TRUE(fast.waitTags(n));
  EXPECT_EQ(sequence("e", n), fast.tags());
  // The slow consumer is stuck in its first push the whole time.
  EXPECT_TRUE(slow.waitEntered(1));
  EXPECT_TRUE(slow.tags().empty());
  // A push that waited for the held consumer would never return at all;
  // the bound is loose for sanitizer builds on a busy machine.
  EXPECT_LT(worst, std::chrono::milliseconds(1000));

  slow.release();
  ASSERT_TRUE(slow.waitTags(n));
  EXPECT_EQ(sequence("e", n), slow.tags());
}

TEST(Notifier, FullQueueDropsTheOldestAndReportsIt)
{
  RecordingConsumer slow;
  NotifierSetup s({ "--queue-limit", "3" });
  slow.hold();
  Event_Comm::Consumer_var r = s.activate(slow);
  s.notifier->subscribe(r, "");
  s.notifier->push(makeEvent("e0"));
  ASSERT_TRUE(slow.waitEntered(1)); // e0 is in flight, out of the queue
  for (int i = 1; i < 10; ++i)
    s.notifier->push(makeEvent("e" + std::to_string(i)));
  ASSERT_TRUE(s.env.notifier()->waitForErr("too slow"));
  slow.release();
  ASSERT_TRUE(slow.waitTags(4));
  EXPECT_EQ(std::vector<std::string>({ "e0", "e7", "e8", "e9" }), slow.tags());
  EXPECT_TRUE(s.env.notifier()->waitForErr("6 events were dropped"));
}

TEST(Notifier, QueueIsBoundedInBytesToo)
{
  RecordingConsumer slow;
  // About 1 KiB per event below: two fit in 2500 bytes, three do not.
  NotifierSetup s({ "--queue-limit", "100", "--queue-bytes", "2500" });
  slow.hold();
  Event_Comm::Consumer_var r = s.activate(slow);
  s.notifier->subscribe(r, "");
  const std::string pad(1000, '.');
  s.notifier->push(makeEvent("e0" + pad));
  ASSERT_TRUE(slow.waitEntered(1)); // e0 is in flight, out of the queue
  for (int i = 1; i < 10; ++i)
    s.notifier->push(makeEvent("e" + std::to_string(i) + pad));
  ASSERT_TRUE(s.env.notifier()->waitForErr("too slow"));
  slow.release();
  ASSERT_TRUE(slow.waitTags(3));
  EXPECT_EQ(std::vector<std::string>({ "e0" + pad, "e8" + pad, "e9" + pad }), slow.tags());
  EXPECT_TRUE(s.env.notifier()->waitForErr("7 events were dropped"));
}

TEST(Notifier, SubscriptionsAreCapped)
{
  RecordingConsumer a, b, c;
  NotifierSetup s({ "--max-consumers", "2" });
  Event_Comm::Consumer_var ra = s.activate(a), rb = s.activate(b), rc = s.activate(c);
  s.notifier->subscribe(ra, "");
  s.notifier->subscribe(rb, "");
  try {
    s.notifier->subscribe(rc, "");
    FAIL() << "a third consumer was subscribed";
  } catch (const Event_Comm::Notifier::CannotSubscribe &e) {
    EXPECT_EQ("too many consumers: 2 are subscribed", std::string(e.reason_.in()));
  }
  s.notifier->unsubscribe(ra, "");
  s.notifier->subscribe(rc, "");
  s.notifier->push(makeEvent("x"));
  ASSERT_TRUE(c.waitTags(1));
}

TEST(Notifier, LogEscapesTextsFromTheWire)
{
  RecordingConsumer c;
  NotifierSetup s;
  Event_Comm::Consumer_var r = s.activate(c);
  s.notifier->subscribe(r, "tag:\x1b[2J\n");
  s.notifier->disconnect("bye\x07\r");
  EXPECT_TRUE(s.env.notifier()->waitForErr(R"(subscribed with filter "tag:\x1b[2J\n")"));
  EXPECT_TRUE(s.env.notifier()->waitForErr(R"(a supplier disconnected: bye\x07\r)"));
  std::string err = s.env.notifier()->err();
  EXPECT_EQ(std::string::npos, err.find_first_of("\x1b\x07\r")) << err;
}

TEST(Notifier, SigtermUnbindsDisconnectsConsumersAndExitsCleanly)
{
  RecordingConsumer c;
  NotifierSetup s;
  Event_Comm::Consumer_var r = s.activate(c);
  s.notifier->subscribe(r, "");
  s.notifier->push(makeEvent("last"));
  ExitStatus st = s.env.stopNotifier();
  EXPECT_TRUE(st.ok()) << st.describe() << s.env.notifier()->err();
  EXPECT_TRUE(CORBA::is_nil(CORBA::Object_var(s.orb.resolve("Notifier"))));
  // What was queued is delivered before the consumers are told.
  EXPECT_EQ(std::vector<std::string>{ "last" }, c.tags());
  ASSERT_TRUE(c.waitDisconnect());
  EXPECT_EQ(std::vector<std::string>{ "tmx-notifier shutting down" }, c.disconnects());
}

TEST(Notifier, SigintUnbindsButLeavesAnotherNotifiersBinding)
{
  CorbaEnv env;
  TestOrb orb(env.orbArgs());
  env.startNotifier();
  ASSERT_TRUE(env.notifier()->signal(SIGINT));
  EXPECT_TRUE(env.notifier()->wait().ok());
  EXPECT_TRUE(CORBA::is_nil(CORBA::Object_var(orb.resolve("Notifier"))));

  // A notifier that lost the name to another one leaves it alone.
  ChildProcess first(
    { CorbaEnv::notifierPath(), env.orbArgs()[0], env.orbArgs()[1], env.orbArgs()[2], env.orbArgs()[3] });
  ASSERT_TRUE(first.waitForOut("bound as Notifier"));
  env.startNotifier(); // rebinds "Notifier" to the second one
  CORBA::Object_var second = orb.resolve("Notifier");
  EXPECT_TRUE(first.stop().ok());
  CORBA::Object_var still = orb.resolve("Notifier");
  ASSERT_FALSE(CORBA::is_nil(still));
  EXPECT_TRUE(still->_is_equivalent(second));
}

TEST(Notifier, FailsClearlyWithoutANamingService)
{
  int port = freeLoopbackPort();
  RunResult r = run({ CorbaEnv::notifierPath(),
                      "-ORBInitRef",
                      "NameService=corbaloc::127.0.0.1:" + std::to_string(port) + "/NameService" });
  EXPECT_EQ(1, r.status.code) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("cannot bind \"Notifier\"")) << r.err;

  r = run({ CorbaEnv::notifierPath() });
  EXPECT_EQ(1, r.status.code);
  EXPECT_NE(std::string::npos, r.err.find("no naming service given")) << r.err;

  r = run({ CorbaEnv::notifierPath(), "--queue-limit", "many" });
  EXPECT_EQ(2, r.status.code);
  r = run({ CorbaEnv::notifierPath(), "--help" });
  EXPECT_EQ(0, r.status.code);
  EXPECT_NE(std::string::npos, r.out.find("Exit status"));
}
