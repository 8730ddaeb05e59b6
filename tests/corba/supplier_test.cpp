// Supplier set-up end to end against a private omniNames and tmx-notifier:
// the init steps and their failures, an event supplier that cannot start,
// shutdown, SIGINT (also after a failed start-up, and with a console that
// outlives it), and published console lines and simulation values reaching
// a consumer.
#include "corba/InputHandler.h"
#include "corba/supplier.h"
#include "tests/corba/CorbaTestUtil.h"
#include "tests/support/TestSupport.h"

#include <TMX.hh>
#include <ace/OS_NS_sys_time.h>
#include <ace/Reactor.h>
#include <ace/Thread.h>
#include <ace/Thread_Manager.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <numeric>
#include <pthread.h>

using namespace corba_test;
using tmx::test::CorbaEnv;

namespace {

class FixedElapsed : public ElapsedTimeSource
{
public:
  std::int32_t elapsedTime() override { return 42; }
};

// While alive, threads created with the default stack size cannot be
// created in this process: that size becomes larger than any address space.
class ThreadCreationRefused
{
public:
  ThreadCreationRefused()
  {
    pthread_getattr_default_np(&saved_);
    pthread_attr_t huge;
    pthread_attr_init(&huge);
    pthread_attr_setstacksize(&huge, std::size_t(1) << 62);
    active_ = pthread_setattr_default_np(&huge) == 0;
    pthread_attr_destroy(&huge);
  }
  ~ThreadCreationRefused()
  {
    pthread_setattr_default_np(&saved_);
    pthread_attr_destroy(&saved_);
  }
  bool active() const { return active_; }

private:
  pthread_attr_t saved_;
  bool active_ = false;
};

// Records on which thread the ORB loop and the signal handler ran.
class ProbedSupplier : public Supplier
{
public:
  using Supplier::Supplier;
  int run() override
  {
    orbThread = ACE_Thread::self();
    if (refuseThreadsInRun) {
      // Only for the span of the ORB thread's attempt to start the event
      // supplier; nothing else in the test creates threads meanwhile.
      ThreadCreationRefused refused;
      refusalActive = refused.active();
      runResult = Supplier::run();
    } else {
      runResult = Supplier::run();
    }
    return runResult;
  }
  // signals counts handled signals: the shutdown has run when it changes.
  int handle_signal(int signum, siginfo_t *info, ucontext_t *context) override
  {
    signalThread = ACE_Thread::self();
    const int result = Supplier::handle_signal(signum, info, context);
    ++signals;
    return result;
  }
  std::atomic<ACE_thread_t> orbThread{};
  std::atomic<ACE_thread_t> signalThread{};
  std::atomic<int> signals{ 0 };
  std::atomic<bool> refuseThreadsInRun{ false };
  std::atomic<bool> refusalActive{ false };
  std::atomic<int> runResult{ 1 };
};

// Runs a reactor's event loop on a thread of its own, as the ORB thread
// would, and records that thread.
struct ReactorThread
{
  explicit ReactorThread(ACE_Reactor *r)
    : reactor(r)
  {
  }
  static ACE_THR_FUNC_RETURN body(void *arg)
  {
    auto *self = static_cast<ReactorThread *>(arg);
    self->reactor->owner(ACE_Thread::self());
    self->id = ACE_Thread::self();
    self->reactor->run_reactor_event_loop();
    return 0;
  }
  ACE_Reactor *reactor;
  std::atomic<ACE_thread_t> id{};
};

bool waitThreads(ACE_Thread_Manager &threads, int seconds)
{
  ACE_Time_Value deadline = ACE_OS::gettimeofday() + ACE_Time_Value(seconds);
  return threads.wait(&deadline) == 0;
}

bool contains(const std::string &text, const std::string &part)
{
  return text.find(part) != std::string::npos;
}

class SupplierTest : public ::testing::Test
{
protected:
  // Servants first: they must outlive the supplier's ORB.
  RecordingConsumer consumer;
  FixedElapsed app;
  std::unique_ptr<CorbaEnv> env;
  ACE_Thread_Manager threads;
  std::unique_ptr<ProbedSupplier> supplier;
  Event_Comm::Notifier_var notifier;
  Event_Comm::Consumer_var consumerRef;

  void SetUp() override { supplier = std::make_unique<ProbedSupplier>(&threads, &app); }

  void TearDown() override
  {
    unsubscribe();
    if (supplier)
      supplier->shutdown();
    waitThreads(threads, 20);
    supplier.reset();
  }

  int init(std::vector<std::string> extra = {})
  {
    Args args(concat(concat({ "tmx" }, env->orbArgs()), extra));
    return supplier->init(args.argc, args.argv());
  }

  // init() with standard output and standard error captured.
  struct Outcome
  {
    int result;
    std::string printed;
    std::string logged;
  };
  Outcome initCaptured(const std::vector<std::string> &extra = {})
  {
    CaptureFd out(1), err(2);
    const int result = init(extra);
    return { result, out.text(), err.text() };
  }

  // init() fails, logs "STEP did not init" and leaves "TMXSYSTEM" unbound.
  Outcome expectInitFailsAt(const std::string &step, const std::vector<std::string> &extra = {})
  {
    Outcome o = initCaptured(extra);
    EXPECT_EQ(-1, o.result);
    EXPECT_TRUE(contains(o.logged, step + " did not init\n")) << o.logged;
    EXPECT_FALSE(env->naming().isBound("TMXSYSTEM"));
    return o;
  }

  // Subscribes the in-process consumer to the notifier service.
  void subscribe()
  {
    CORBA::ORB_ptr orb = supplier->orb_manager().orb();
    CORBA::Object_var object = orb->resolve_initial_references("NameService");
    CosNaming::NamingContext_var naming = CosNaming::NamingContext::_narrow(object.in());
    CORBA::Object_var found = naming->resolve(TestOrbName("Notifier"));
    notifier = Event_Comm::Notifier::_narrow(found.in());
    PortableServer::POA_ptr poa = supplier->orb_manager().root_poa();
    PortableServer::ObjectId_var id = poa->activate_object(&consumer);
    CORBA::Object_var ref = poa->id_to_reference(id.in());
    consumerRef = Event_Comm::Consumer::_narrow(ref.in());
    notifier->subscribe(consumerRef.in(), "");
  }

  void unsubscribe()
  {
    if (!CORBA::is_nil(notifier) && !CORBA::is_nil(consumerRef)) {
      try {
        notifier->unsubscribe(consumerRef.in(), "");
      } catch (const CORBA::Exception &) {
      }
    }
    notifier = Event_Comm::Notifier::_nil();
    consumerRef = Event_Comm::Consumer::_nil();
  }

  static CosNaming::Name TestOrbName(const char *id) { return tmx::test::TestOrb::name(id); }

  bool nameclt(const std::vector<std::string> &command)
  {
    std::vector<std::string> argv{ "nameclt", "-ORBInitRef", "NameService=" + env->naming().corbaloc() };
    argv.insert(argv.end(), command.begin(), command.end());
    return tmx::test::run(argv).status.ok();
  }
};

TEST_F(SupplierTest, WithoutANamingServiceInitFailsAtStep2)
{
  const std::string nowhere =
    "NameService=corbaloc::127.0.0.1:" + std::to_string(tmx::test::freeLoopbackPort()) + "/NameService";
  Args args({ "tmx", "-ORBInitRef", nowhere, "-ORBendPoint", "giop:tcp:127.0.0.1:" });
  CaptureFd err(2);
  EXPECT_EQ(-1, supplier->init(args.argc, args.argv()));
  const std::string text = err.text();
  EXPECT_TRUE(contains(text, "Naming services did not init\n")) << text;
  EXPECT_FALSE(contains(text, "Notifier_Handler")) << text;
}

TEST_F(SupplierTest, WithoutANotifierInitFailsAtStep3AndBindsNothing)
{
  env = std::make_unique<CorbaEnv>();
  const std::string printed = expectInitFailsAt("Notifier_Handler").printed;
  EXPECT_TRUE(contains(printed, "Notifier_Handler::init\nNotFound")) << printed;
}

TEST_F(SupplierTest, NotifierBoundToAnotherKindOfObjectFailsAtStep3)
{
  env = std::make_unique<CorbaEnv>();
  ASSERT_TRUE(nameclt({ "bind_new_context", "Notifier" }));
  const std::string logged = expectInitFailsAt("Notifier_Handler").logged;
  EXPECT_TRUE(contains(logged, "is not an Event_Comm::Notifier")) << logged;
}

TEST_F(SupplierTest, BadSimulationCountFailsAtStep4)
{
  env = std::make_unique<CorbaEnv>();
  env->startNotifier();
  const std::string logged = expectInitFailsAt("Event supplier", { "-m", "0" }).logged;
  EXPECT_TRUE(contains(logged, "count must be > 0")) << logged;
}

TEST_F(SupplierTest, TmxSystemAlreadyBoundFailsAtStep6AndKeepsTheOtherBinding)
{
  env = std::make_unique<CorbaEnv>();
  env->startNotifier();
  ASSERT_TRUE(nameclt({ "bind_new_context", "TMXSYSTEM" }));
  const auto [result, printed, logged] = initCaptured();
  EXPECT_EQ(-1, result);
  EXPECT_TRUE(contains(logged, "TMX interface did not init")) << logged;
  EXPECT_TRUE(contains(printed, "TMXInterface_Server::init_naming_service\nAlreadyBound")) << printed;
  // Shutting the failed supplier down leaves the other monitor's name.
  EXPECT_EQ(0, supplier->shutdown());
  EXPECT_TRUE(env->naming().isBound("TMXSYSTEM"));
}

// The SIGINT registration of step 5 outlives the failure of step 6: a
// signal is still answered on the thread that runs the reactor's loop, and
// the shutdown leaves the other object's "TMXSYSTEM" alone.
TEST_F(SupplierTest, SigintStaysRegisteredAfterInitFailedAtStep6)
{
  env = std::make_unique<CorbaEnv>();
  env->startNotifier();
  ASSERT_TRUE(nameclt({ "bind_new_context", "TMXSYSTEM" }));
  {
    CaptureFd out(1), err(2);
    ASSERT_EQ(-1, init());
  }
  // Still caught: an uncaught SIGINT would end the test program.
  struct sigaction current = {};
  ASSERT_EQ(0, ::sigaction(SIGINT, nullptr, &current));
  ASSERT_NE(SIG_DFL, current.sa_handler);
  ASSERT_NE(SIG_IGN, current.sa_handler);
  ReactorThread loop(supplier->orb_reactor());
  ASSERT_NE(-1, threads.spawn(&ReactorThread::body, &loop));
  // However the test ends, the loop is over before the supplier goes.
  struct EndLoop
  {
    ReactorThread &loop;
    ACE_Thread_Manager &threads;
    ~EndLoop()
    {
      loop.reactor->end_reactor_event_loop();
      waitThreads(threads, 20);
    }
  } endLoop{ loop, threads };

  CaptureFd err(2);
  ASSERT_EQ(0, ::kill(::getpid(), SIGINT));
  ASSERT_TRUE(eventually([&] { return supplier->signals.load() == 1; }));
  // The shutdown ended the loop.
  EXPECT_TRUE(waitThreads(threads, 20));
  EXPECT_TRUE(ACE_OS::thr_equal(loop.id.load(), supplier->signalThread.load()));
  EXPECT_TRUE(contains(err.text(), "Interrupt\n")) << err.text();
  EXPECT_EQ(1, Notifier_Handler::close_count());
  EXPECT_TRUE(env->naming().isBound("TMXSYSTEM"));
}

TEST_F(SupplierTest, RunsServesTmxSystemAndShutsDownOnce)
{
  env = std::make_unique<CorbaEnv>();
  env->startNotifier();
  {
    CaptureFd err(2);
    ASSERT_EQ(0, init());
    EXPECT_TRUE(contains(err.text(), "Supplier initialized.. \n")) << err.text();
  }
  EXPECT_TRUE(env->naming().isBound("TMXSYSTEM"));
  ASSERT_EQ(0, supplier->start());

  // The bound object answers with the application's elapsed time.
  CORBA::ORB_ptr orb = supplier->orb_manager().orb();
  CORBA::Object_var object = orb->resolve_initial_references("NameService");
  CosNaming::NamingContext_var naming = CosNaming::NamingContext::_narrow(object.in());
  CORBA::Object_var found = naming->resolve(TestOrbName("TMXSYSTEM"));
  TMX::System_var system = TMX::System::_narrow(found.in());
  EXPECT_EQ(42u, system->elapsedTime());

  CaptureFd err(2);
  EXPECT_EQ(0, supplier->shutdown());
  EXPECT_FALSE(env->naming().isBound("TMXSYSTEM"));
  EXPECT_EQ(1, Notifier_Handler::close_count());
  // The ORB loop and the event supplier end without further help.
  EXPECT_TRUE(waitThreads(threads, 20));
  const std::string first = err.text();
  EXPECT_TRUE(contains(first, "TmxApp_i got disconnected due to TMXInterface_Server shutdown.")) << first;
  EXPECT_TRUE(contains(first, "closing down Notifier_Handler\n")) << first;
  EXPECT_TRUE(contains(first, "Event_Supplier::svc ended \n")) << first;

  // A second shutdown: the unbind fails quietly, no second close.
  EXPECT_EQ(0, supplier->shutdown());
  EXPECT_EQ(1, Notifier_Handler::close_count());
  const std::string second = err.text().substr(first.size());
  EXPECT_FALSE(contains(second, "closing down Notifier_Handler")) << second;
}

TEST_F(SupplierTest, SigintShutsTheCorbaSideDownFromTheOrbThread)
{
  env = std::make_unique<CorbaEnv>();
  env->startNotifier();
  ASSERT_EQ(0, init());
  ASSERT_EQ(0, supplier->start());
  CaptureFd err(2);
  ASSERT_EQ(0, ::kill(::getpid(), SIGINT));
  ASSERT_TRUE(eventually([&] { return supplier->signals.load() == 1; }));
  EXPECT_TRUE(waitThreads(threads, 20));
  EXPECT_TRUE(ACE_OS::thr_equal(supplier->orbThread.load(), supplier->signalThread.load()));
  EXPECT_FALSE(env->naming().isBound("TMXSYSTEM"));
  EXPECT_EQ(1, Notifier_Handler::close_count());
  EXPECT_TRUE(contains(err.text(), "Interrupt")) << err.text();
}

TEST_F(SupplierTest, EventSupplierThatCannotStartEndsTheOrbThreadBeforeItsLoop)
{
  env = std::make_unique<CorbaEnv>();
  env->startNotifier();
  ASSERT_EQ(0, init());
  supplier->refuseThreadsInRun = true;
  CaptureFd err(2);
  ASSERT_EQ(0, supplier->start());
  // Nobody ends the loop here: the ORB thread ends only if it never
  // entered it.
  const bool ended = waitThreads(threads, 10);
  if (!ended)
    supplier->orb_reactor()->end_reactor_event_loop(); // lets threads be created again
  ASSERT_TRUE(ended);
  ASSERT_TRUE(supplier->refusalActive.load());
  EXPECT_EQ(-1, supplier->runResult.load());
  const std::string logged = err.text();
  EXPECT_TRUE(contains(logged, "Event_supplier::run: ")) << logged;
  EXPECT_FALSE(contains(logged, "Event_Supplier::svc")) << logged;
  EXPECT_EQ(0, supplier->event_supplier().thr_count());
  EXPECT_EQ(0, Notifier_Handler::close_count());
  // The CORBA side itself is still up, and shuts down as usual.
  EXPECT_TRUE(env->naming().isBound("TMXSYSTEM"));
  EXPECT_EQ(0, supplier->shutdown());
  EXPECT_FALSE(env->naming().isBound("TMXSYSTEM"));
}

TEST_F(SupplierTest, ValuesSentBeforeStartReachTheConsumerInOrder)
{
  env = std::make_unique<CorbaEnv>();
  env->startNotifier();
  ASSERT_EQ(0, init());
  subscribe();
  for (CORBA::ULong i = 0; i < 100; ++i)
    supplier->send_event(anyOf(i));
  ASSERT_EQ(0, supplier->start());
  ASSERT_TRUE(consumer.waitTags(100));
  std::vector<long long> expected(100);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(expected, consumer.numbers());
}

TEST_F(SupplierTest, ConsoleLineReachesTheConsumerAsANestedEvent)
{
  env = std::make_unique<CorbaEnv>();
  env->startNotifier();
  ASSERT_EQ(0, init());
  subscribe();
  int fds[2];
  ASSERT_EQ(0, ::pipe(fds));
  {
    InputHandler console(fds[0]);
    ASSERT_EQ(0, console.init(supplier.get()));
    ASSERT_EQ(0, supplier->start());
    const std::string line = "hello there";
    ASSERT_EQ(static_cast<ssize_t>(line.size() + 1), ::write(fds[1], (line + "\n").c_str(), line.size() + 1));
    ASSERT_TRUE(consumer.waitTags(1));
    auto events = consumer.events();
    EXPECT_STREQ("TMX", events[0].tag_.in());
    const Event_Comm::Event *nested;
    ASSERT_TRUE(events[0].value_ >>= nested);
    EXPECT_STREQ("hello there", nested->tag_.in());
    CORBA::TypeCode_var inner = nested->value_.type();
    EXPECT_EQ(CORBA::tk_null, inner->kind());
    CORBA::TypeCode_var outer = events[0].value_.type();
    EXPECT_STREQ("IDL:Event_Comm/Event:1.0", outer->id());

    ASSERT_EQ(5, ::write(fds[1], "quit\n", 5));
    EXPECT_TRUE(eventually([&] { return console.shutdown_trigger().isTriggered() != 0; }));
    // The application's order: supplier shutdown, console close, join.
    unsubscribe();
    supplier->shutdown();
    EXPECT_EQ(-1, console.close()); // it left the reactor after "quit"
    EXPECT_TRUE(waitThreads(threads, 20));
  }
  ::close(fds[0]);
  ::close(fds[1]);
}

// SIGINT shuts down only the CORBA side: an attached console is still read
// by the reactor's loop, so "quit" can be typed afterwards, and closing the
// console ends the ORB thread.
TEST_F(SupplierTest, AttachedConsoleIsServedAfterSigintUntilItIsClosed)
{
  env = std::make_unique<CorbaEnv>();
  env->startNotifier();
  ASSERT_EQ(0, init());
  int fds[2];
  ASSERT_EQ(0, ::pipe(fds));
  InputHandler console(fds[0]);
  // However the test ends, the console leaves the reactor before the
  // supplier goes.
  struct Cleanup
  {
    InputHandler &console;
    int *fds;
    ~Cleanup()
    {
      console.close();
      ::close(fds[0]);
      ::close(fds[1]);
    }
  } cleanup{ console, fds };

  ASSERT_EQ(0, console.init(supplier.get()));
  ASSERT_EQ(0, supplier->start());
  ASSERT_EQ(0, ::kill(::getpid(), SIGINT));
  ASSERT_TRUE(eventually([&] { return supplier->signals.load() == 1; }));
  EXPECT_EQ(1, Notifier_Handler::close_count());
  EXPECT_FALSE(env->naming().isBound("TMXSYSTEM"));

  CaptureFd out(1);
  const std::string lines = "late line\nanother\nquit\n";
  ASSERT_EQ(static_cast<ssize_t>(lines.size()), ::write(fds[1], lines.data(), lines.size()));
  ASSERT_TRUE(eventually([&] { return console.shutdown_trigger().isTriggered() != 0; }));
  // Read in order: the lines before "quit" reach the event supplier, which
  // has stopped: they are refused, and that is said once.
  EXPECT_EQ(0u, supplier->event_supplier().queue_length());
  const std::string text = out.text();
  const std::string notice = "Publishing stopped: values are no longer queued\n";
  EXPECT_NE(std::string::npos, text.find(notice)) << text;
  EXPECT_EQ(text.find(notice), text.rfind(notice)) << text;

  EXPECT_EQ(-1, console.close()); // it left the reactor after "quit"
  EXPECT_TRUE(waitThreads(threads, 20));
  EXPECT_EQ(0, supplier->runResult.load());
}

TEST_F(SupplierTest, SimulationValuesArePublished)
{
  env = std::make_unique<CorbaEnv>();
  env->startNotifier();
  tmx::test::TempDir dir;
  const std::string file = dir.write("schedule", "heaton 0 0 0 0 1000 0\n");
  ASSERT_EQ(0, init({ "-f", file, "-m", "3" }));
  subscribe();
  ASSERT_EQ(0, supplier->start());
  ASSERT_TRUE(consumer.waitTags(3));
  for (const auto &event : consumer.events()) {
    const char *text;
    ASSERT_TRUE(event.value_ >>= text);
    EXPECT_STREQ("heaton", text);
  }
}

} // namespace
