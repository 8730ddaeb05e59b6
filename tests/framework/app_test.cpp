#include "framework/MicroApp.h"

#include <gtest/gtest.h>

#include <cstring>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {
// Raises "quit" on its third sampling pass; the event handler then asks
// for shutdown, as the monitor does.
class QuitHandler : public MicroEventHandler
{
public:
  QuitHandler(TaskSynchronizer *sync, EventTrigger *quit)
    : MicroEventHandler("e", sync)
    , quit_(quit)
  {
    addEvent(quit, nullptr);
  }
  int processEvents() override
  {
    ++turns;
    if (quit_->isTriggered())
      taskSync()->requestShutdown();
    return 0;
  }
  std::atomic<int> turns{ 0 };

private:
  EventTrigger *quit_;
};

class TestApp : public MicroApp
{
public:
  enum Mode
  {
    Normal,
    FailInitialize,
    NullPeriodic,
    NullEvent,
    ThrowingEvent
  };

  explicit TestApp(Mode mode)
    : MicroApp("test", "Test")
    , mode_(mode)
  {
  }
  ~TestApp() override
  {
    delete event;
    delete periodic;
  }

  int initialize(int argc, char **argv) override
  {
    if (mode_ == FailInitialize)
      return -1;
    return MicroApp::initialize(argc, argv);
  }
  MicroPeriodicHandler *createPeriodicHandler() override
  {
    ++periodicCreated;
    if (mode_ == NullPeriodic)
      return nullptr;
    periodic = new MicroPeriodicHandler("p", taskSync());
    periodic->addCallback(100.0f, &sample);
    return periodic;
  }
  MicroEventHandler *createEventHandler() override
  {
    ++eventCreated;
    if (mode_ == NullEvent)
      return nullptr;
    if (mode_ == ThrowingEvent)
      throw NullArg(2);
    event = new QuitHandler(taskSync(), &quit);
    return event;
  }
  int setTaskParameters() override
  {
    periodicTaskPriority_ = 15;
    periodicTaskStackSize_ = 10000;
    eventTaskPriority_ = 1;
    eventTaskStackSize_ = 10000;
    return 0;
  }
  int idle() override
  {
    ++idles;
    std::this_thread::sleep_for(std::chrono::milliseconds(1)); // the subclass paces its idle loop
    return 0;
  }

  int onSample(Callback &)
  {
    if (++samples == 3)
      quit.trigger();
    return 0;
  }

  Mode mode_;
  EventTrigger quit;
  Callback sample{ std::make_unique<MemberCallback<TestApp>>(this, &TestApp::onSample) };
  MicroPeriodicHandler *periodic = nullptr;
  QuitHandler *event = nullptr;
  std::atomic<int> samples{ 0 };
  int periodicCreated = 0;
  int eventCreated = 0;
  int idles = 0;
};

char arg0[] = "tmx";
char *argv[] = { arg0, nullptr };
} // namespace

TEST(MicroApp, IdentityStrings)
{
  EXPECT_STREQ(appName(), "TMX");
  EXPECT_STREQ(appVersion(), "1.0");
  // "EMBEDDED v1 built Dec  3 2001 at 18:01:02"
  const std::string build = appBuild();
  const std::string expected = std::string("EMBEDDED v1 built ") + __DATE__ + " at " + __TIME__;
  ASSERT_EQ(build.size(), expected.size()) << build;
  EXPECT_EQ(build.compare(0, 18, "EMBEDDED v1 built "), 0) << build;
  EXPECT_EQ(build.compare(29, 4, " at "), 0) << build;
  EXPECT_EQ(build[35], ':');
  EXPECT_EQ(build[38], ':');
  EXPECT_LT(std::strlen(appBuild()), 52u);
}

TEST(MicroApp, RunWhenInitializeFails)
{
  TestApp app(TestApp::FailInitialize);
  CaptureStdout();
  EXPECT_EQ(app.run(1, argv), 0);
  EXPECT_EQ(GetCapturedStdout(), "MicroApp::run()\nMicroApp::run() - initialize() failed \n");
  EXPECT_EQ(app.periodicCreated + app.eventCreated, 0);
  EXPECT_EQ(app.taskSync(), nullptr);
  EXPECT_EQ(app.idles, 0);
  CaptureStderr();
  EXPECT_EQ(app.shutdown(), -1);
  EXPECT_EQ(GetCapturedStderr(), "MicroApp::tasksync never created, cannot shutdown\n");
}

TEST(MicroApp, RunWhenThePeriodicFactoryReturnsNull)
{
  TestApp app(TestApp::NullPeriodic);
  CaptureStdout();
  CaptureStderr();
  EXPECT_EQ(app.run(1, argv), 0);
  const std::string err = GetCapturedStderr();
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(err, "MicroApp::createPeriodicHandler() - PeriodicHandler constructor failed\n");
  EXPECT_EQ(out,
            "MicroApp::run()\nMicroApp::spawnTasks()\nMicroApp::createPeriodicHandler()\n"
            "MicroApp::run() - spawnTasks() failed \n");
  EXPECT_EQ(app.eventCreated, 0);
  EXPECT_EQ(app.idles, 0);
  EXPECT_EQ(app.errors().status(), 1);
}

TEST(MicroApp, RunWhenTheEventFactoryFailsLeavesThePeriodicTaskWaiting)
{
  for (TestApp::Mode mode : { TestApp::NullEvent, TestApp::ThrowingEvent }) {
    TestApp app(mode);
    CaptureStderr();
    EXPECT_EQ(app.run(1, argv), 0);
    EXPECT_EQ(GetCapturedStderr(), "MicroApp::createEventHandler() - EventHandler constructor error.\n\n");
    ASSERT_NE(app.periodic, nullptr);
    EXPECT_EQ(app.periodic->hasEnded(), 0);
    EXPECT_EQ(app.samples.load(), 0);
    EXPECT_EQ(app.idles, 0);
    // Shutting down still ends the waiting periodic task; the earlier
    // error keeps the result at -1.
    EXPECT_EQ(app.shutdown(), -1);
    EXPECT_NE(app.periodic->hasEnded(), 0);
    EXPECT_EQ(app.samples.load(), 0);
  }
}

TEST(MicroApp, FullRunUntilShutdownRequested)
{
  TestApp app(TestApp::Normal);
  CaptureStdout();
  EXPECT_EQ(app.run(1, argv), 0);
  EXPECT_EQ(app.shutdown(), 0);
  const std::string out = GetCapturedStdout();
  EXPECT_GE(app.samples.load(), 3);
  EXPECT_GE(app.event->turns.load(), 1);
  EXPECT_NE(app.periodic->hasEnded(), 0);
  EXPECT_NE(app.event->hasEnded(), 0);
  EXPECT_EQ(app.taskSync()->task(1)->taskId, app.periodic->threadId());
  EXPECT_EQ(app.taskSync()->task(2)->taskId, app.event->threadId());
  EXPECT_NE(out.find("MicroApp::createEventHandler()\n"), std::string::npos) << out;
  EXPECT_NE(out.find("MicroPeriodicHandler::run()\n"), std::string::npos);
  // The event task is always stopped before the periodic task.
  const auto eventDone = out.find("Shutdown from task 2 received\n");
  const auto periodicDone = out.find("Shutdown from task 1 received\n");
  ASSERT_NE(eventDone, std::string::npos) << out;
  ASSERT_NE(periodicDone, std::string::npos) << out;
  // A second shutdown finds both tasks ended and returns at once.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(app.shutdown(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}
