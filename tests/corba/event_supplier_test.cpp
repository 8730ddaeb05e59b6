// The event queue and its push thread against an in-process notifier that
// can fail or hold pushes, and against a real tmx-notifier that is killed
// and restarted. Each test has its own omniNames.
#include "corba/Event_Sup.h"
#include "corba/Notifier_Handler.h"
#include "corba/ORB_Manager.h"
#include "tests/corba/CorbaTestUtil.h"
#include "tests/support/TestSupport.h"

#include <ace/Thread_Manager.h>
#include <gtest/gtest.h>

#include <atomic>
#include <numeric>
#include <thread>

using namespace corba_test;
using tmx::test::CorbaEnv;

namespace {

CosNaming::Name nameOf(const char *id)
{
  CosNaming::Name name;
  name.length(1);
  name[0].id = CORBA::string_dup(id);
  name[0].kind = CORBA::string_dup("");
  return name;
}

std::vector<long long> range(long long from, long long to)
{
  std::vector<long long> out(static_cast<std::size_t>(to - from));
  std::iota(out.begin(), out.end(), from);
  return out;
}

// omniNames, this process's ORB (through ORB_Manager), a notifier handler
// and an event supplier; servants are members declared first so that they
// outlive the ORB.
class EventSupplierTest : public ::testing::Test
{
protected:
  TestNotifier notifier;
  TestNotifier replacement;
  RecordingConsumer consumer_;
  std::unique_ptr<CorbaEnv> env = std::make_unique<CorbaEnv>();
  ACE_Thread_Manager threads;
  ORB_Manager orb;
  CosNaming::NamingContext_var naming;
  Notifier_Handler handler;
  std::unique_ptr<Event_Supplier> supplier;

  void SetUp() override
  {
    Args args(concat({ "test" }, env->orbArgs()));
    ASSERT_EQ(0, orb.init(args.argc, args.argv()));
    ASSERT_EQ(0, orb.activate_poa_manager());
    CORBA::Object_var object = orb.orb()->resolve_initial_references("NameService");
    naming = CosNaming::NamingContext::_narrow(object.in());
    ASSERT_FALSE(CORBA::is_nil(naming));
  }

  void TearDown() override
  {
    if (supplier)
      supplier->stop();
    supplier.reset();
  }

  CORBA::Object_ptr activate(PortableServer::Servant servant)
  {
    PortableServer::ObjectId_var id = orb.root_poa()->activate_object(servant);
    return orb.root_poa()->id_to_reference(id.in());
  }

  void bindNotifier(PortableServer::Servant servant)
  {
    CORBA::Object_var ref = activate(servant);
    naming->rebind(nameOf("Notifier"), ref.in());
  }

  // Handler and supplier ready to run, with short retry delays.
  void makeSupplier()
  {
    ASSERT_EQ(0, handler.init(&orb, naming));
    supplier = std::make_unique<Event_Supplier>(&threads);
    Args args({ "test" });
    ASSERT_EQ(0, supplier->init(args.argc, args.argv(), &handler));
    supplier->set_retry_delays(milliseconds(20), milliseconds(80));
  }

  void queue(long long from, long long to)
  {
    for (long long i = from; i < to; ++i)
      supplier->queue_event(anyOf(static_cast<CORBA::ULong>(i)));
  }

  int start() { return supplier->activate(0, 1, 0, 0, -1); }
};

TEST_F(EventSupplierTest, ValuesQueuedBeforeTheThreadStartsArePushedInOrder)
{
  bindNotifier(&notifier);
  makeSupplier();
  queue(0, 500);
  ASSERT_EQ(0, start());
  ASSERT_TRUE(notifier.waitCount(500));
  EXPECT_EQ(range(0, 500), notifier.numbers());
  for (const auto &event : notifier.events()) {
    EXPECT_STREQ("TMX", event.tag_.in());
    EXPECT_TRUE(CORBA::is_nil(event.object_ref_.in()));
  }
}

TEST_F(EventSupplierTest, AfterStopAtMostOneMoreValueIsPushed)
{
  bindNotifier(&notifier);
  makeSupplier();
  notifier.hold(true);
  queue(0, 10);
  ASSERT_EQ(0, start());
  ASSERT_TRUE(notifier.waitHeld(1));
  CaptureFd err(2);
  supplier->stop();
  notifier.hold(false);
  supplier->wait();
  EXPECT_EQ(range(0, 1), notifier.numbers());
  EXPECT_EQ(9u, supplier->queue_length());
  EXPECT_NE(std::string::npos, err.text().find("Event_Supplier::svc ended \n"));
}

TEST_F(EventSupplierTest, StopBeforeTheThreadStartsIsHonoured)
{
  bindNotifier(&notifier);
  makeSupplier();
  queue(0, 3);
  supplier->stop();
  ASSERT_EQ(0, start());
  supplier->wait();
  EXPECT_EQ(0, notifier.attempts());
}

TEST_F(EventSupplierTest, FailedPushesAreRetriedWithoutLossOrReordering)
{
  bindNotifier(&notifier);
  makeSupplier();
  notifier.failNext(3);
  queue(0, 20);
  CaptureFd out(1);
  ASSERT_EQ(0, start());
  ASSERT_TRUE(notifier.waitCount(20));
  EXPECT_EQ(range(0, 20), notifier.numbers());
  EXPECT_EQ(3u, supplier->failed_push_count());
  EXPECT_NE(std::string::npos, out.text().find("Event_Supplier::svc: push failed: TRANSIENT"));
}

TEST_F(EventSupplierTest, RetryLooksTheNotifierUpAgain)
{
  bindNotifier(&notifier);
  makeSupplier();
  notifier.failAlways(true);
  queue(0, 10);
  ASSERT_EQ(0, start());
  ASSERT_TRUE(notifier.waitAttempts(2));
  // The service "restarted" under a new reference.
  bindNotifier(&replacement);
  ASSERT_TRUE(replacement.waitCount(10));
  EXPECT_EQ(range(0, 10), replacement.numbers());
  EXPECT_TRUE(notifier.events().empty());
}

TEST_F(EventSupplierTest, StopInterruptsTheRetryWait)
{
  bindNotifier(&notifier);
  makeSupplier();
  supplier->set_retry_delays(std::chrono::seconds(30), std::chrono::seconds(30));
  notifier.failAlways(true);
  queue(0, 1);
  ASSERT_EQ(0, start());
  ASSERT_TRUE(eventually([&] { return supplier->failed_push_count() >= 1; }));
  const auto begin = std::chrono::steady_clock::now();
  supplier->stop();
  supplier->wait();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
  EXPECT_EQ(1u, supplier->queue_length());
}

// Producers on several threads, each pausing now and then so that the
// queue runs dry often and the push thread goes to sleep and is woken
// again many times: nothing may be left behind.
TEST_F(EventSupplierTest, ConcurrentProducersLoseNothingAndKeepTheirOrder)
{
  bindNotifier(&notifier);
  makeSupplier();
  ASSERT_EQ(0, start());
  constexpr int producers = 4;
  constexpr int each = 1500;
  std::vector<std::thread> threads_;
  for (int p = 0; p < producers; ++p)
    threads_.emplace_back([&, p] {
      for (int i = 0; i < each; ++i) {
        supplier->queue_event(anyOf(static_cast<CORBA::ULong>(p * 100000 + i)));
        if (i % 50 == 0)
          std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
  for (auto &t : threads_)
    t.join();
  ASSERT_TRUE(notifier.waitCount(producers * each, milliseconds(30000)));
  std::vector<int> next(producers, 0);
  for (long long n : notifier.numbers()) {
    const int p = static_cast<int>(n / 100000);
    ASSERT_LT(p, producers);
    EXPECT_EQ(next[p], n % 100000);
    next[p] = static_cast<int>(n % 100000) + 1;
  }
}

// A value queued after the push thread found the queue empty and before it
// waits is pushed at once, not when some later value comes along.
TEST_F(EventSupplierTest, ValueQueuedJustBeforeTheWaitIsNotLeftBehind)
{
  bindNotifier(&notifier);
  makeSupplier();
  std::atomic<int> idle{ 0 };
  supplier->set_idle_hook([&] {
    if (idle++ == 0)
      supplier->queue_event(anyOf(7));
  });
  ASSERT_EQ(0, start());
  ASSERT_TRUE(notifier.waitCount(1, milliseconds(5000)));
  EXPECT_EQ(range(7, 8), notifier.numbers());
}

// close releases the handler's reference while a push through the
// thread's own duplicate is in progress; the push completes.
TEST_F(EventSupplierTest, CloseDuringAPushLeavesTheThreadsReferenceAlone)
{
  bindNotifier(&notifier);
  makeSupplier();
  notifier.hold(true);
  queue(0, 2);
  ASSERT_EQ(0, start());
  ASSERT_TRUE(notifier.waitHeld(1));
  EXPECT_EQ(0, handler.close());
  EXPECT_TRUE(CORBA::is_nil(handler.notifier()));
  supplier->stop();
  notifier.hold(false);
  supplier->wait();
  EXPECT_EQ(range(0, 1), notifier.numbers());
}

TEST_F(EventSupplierTest, NotifierNameBoundToAnotherKindOfObjectIsRefused)
{
  // The root naming context is an object, but not a notifier.
  naming->rebind(nameOf("Notifier"), naming.in());
  CaptureFd err(2);
  EXPECT_EQ(-1, handler.init(&orb, naming));
  EXPECT_NE(std::string::npos,
            err.text().find("the object bound as \"Notifier\" is not an Event_Comm::Notifier"));
  EXPECT_TRUE(CORBA::is_nil(handler.notifier()));
}

TEST_F(EventSupplierTest, NotifierNotBoundFailsInit)
{
  CaptureFd out(1);
  EXPECT_EQ(-1, handler.init(&orb, naming));
  EXPECT_NE(std::string::npos, out.text().find("Notifier_Handler::init\nNotFound"));
}

// The real notifier service is killed while values are queued, then a new
// one comes up: every value reaches the consumer, in order. The new service
// is started on a second naming service and only then bound under
// "Notifier" in the first, so the consumer is subscribed before the
// supplier can reach it.
TEST_F(EventSupplierTest, NotifierServiceKilledAndRestartedWhileQueueing)
{
  RecordingConsumer &consumer = consumer_;
  env->startNotifier();
  makeSupplier();
  CORBA::Object_var consumerObject = activate(&consumer);
  Event_Comm::Consumer_var consumerRef = Event_Comm::Consumer::_narrow(consumerObject.in());
  {
    Event_Comm::Notifier_var first = handler.acquire_notifier();
    first->subscribe(consumerRef.in(), "");
  }
  ASSERT_EQ(0, start());
  queue(0, 50);
  ASSERT_TRUE(consumer.waitTags(50));

  env->killNotifier();
  std::atomic<bool> producing{ true };
  std::thread producer([&] {
    for (long long i = 50; i < 200; ++i) {
      supplier->queue_event(anyOf(static_cast<CORBA::ULong>(i)));
      std::this_thread::sleep_for(milliseconds(3));
    }
    producing = false;
  });

  CorbaEnv second;
  second.startNotifier();
  CORBA::Object_var otherNaming = orb.orb()->string_to_object(second.naming().corbaloc().c_str());
  CosNaming::NamingContext_var otherContext = CosNaming::NamingContext::_narrow(otherNaming.in());
  CORBA::Object_var fresh = otherContext->resolve(nameOf("Notifier"));
  Event_Comm::Notifier_var freshNotifier = Event_Comm::Notifier::_narrow(fresh.in());
  freshNotifier->subscribe(consumerRef.in(), "");
  naming->rebind(nameOf("Notifier"), freshNotifier.in());

  producer.join();
  EXPECT_FALSE(producing);
  ASSERT_TRUE(consumer.waitTags(200, milliseconds(20000)));
  EXPECT_EQ(range(0, 200), consumer.numbers());
  EXPECT_GE(supplier->failed_push_count(), 1u);
  freshNotifier->unsubscribe(consumerRef.in(), "");
  supplier->stop();
  supplier->wait();
}

} // namespace
