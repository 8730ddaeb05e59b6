#include "framework/MicroApp.h"

namespace {
// Fixed 52-character fields, as written into the log header.
constexpr char nameText[52] = "TMX";
constexpr char versionText[52] = "1.0";
constexpr char buildText[52] = "EMBEDDED v1 built " __DATE__ " at " __TIME__;
} // namespace

const char *appName()
{
  return nameText;
}

const char *appVersion()
{
  return versionText;
}

const char *appBuild()
{
  return buildText;
}

MicroApp::MicroApp(const char *name, const char *title)
  : name_(name != nullptr ? name : "")
  , title_(title != nullptr ? title : "")
{
  errors_.clear();
  trace(3, 4, "MicroApp::MicroApp() \n");
}

MicroApp::~MicroApp() = default;

int MicroApp::run(int argc, char **argv)
{
  trace(1, 4, "MicroApp::run()\n");
  if (initialize(argc, argv) == -1) {
    trace(1, 4, "MicroApp::run() - initialize() failed \n");
    return 0;
  }
  if (spawnTasks() == -1) {
    trace(1, 4, "MicroApp::run() - spawnTasks() failed \n");
    return 0;
  }
  _taskSync->signalTask(2);
  // The event task drops the triggers raised before it watches them. The
  // idle steps may start what raises them (the console), so they begin
  // only once it watches: nothing they raise is lost.
  if (eventHandler_->waitUntilWatching(eventStartTimeoutMs) != 0)
    errors_.set("MicroApp::run() - EventHandler task did not start in time");
  while (!_taskSync->shutdownRequested())
    idle();
  return 0;
}

namespace {
// Creates one task through its factory (an Exception counts as a failure)
// and starts it; the texts name what failed. The task or null.
template<class Task, class Create>
Task *createAndActivate(ErrorHandler &errors,
                        Create create,
                        const char *createdText,
                        const std::string &name,
                        int priority,
                        int stackSize,
                        const char *spawnErrorText)
{
  Task *task = nullptr;
  try {
    task = create();
  } catch (const Exception &) {
    task = nullptr;
  }
  if (task == nullptr || task->errors().status() != 0) {
    errors.set(createdText);
    return nullptr;
  }
  if (task->activate(name.c_str(), priority, 0, stackSize) == -1) {
    errors.set(spawnErrorText);
    return nullptr;
  }
  return task;
}
} // namespace

int MicroApp::spawnTasks()
{
  trace(1, 4, "MicroApp::spawnTasks()\n");
  if (!_taskSync) {
    errors_.set("MicroApp::spawnTasks() - _taskSync not created");
    return -1;
  }
  setTaskParameters();

  trace(1, 4, "MicroApp::createPeriodicHandler()\n");
  MicroPeriodicHandler *periodic = createAndActivate<MicroPeriodicHandler>(
    errors_,
    [this] { return periodicHandler_ = createPeriodicHandler(); },
    "MicroApp::createPeriodicHandler() - PeriodicHandler constructor failed",
    title_ + "PeriodicHandler",
    periodicTaskPriority_,
    periodicTaskStackSize_,
    "periodicHandler::activate() - Task spawn error.\n");
  if (periodic == nullptr)
    return -1;
  _taskSync->setTaskId(1, periodic->threadId());

  trace(1, 4, "MicroApp::createEventHandler()\n");
  MicroEventHandler *event = createAndActivate<MicroEventHandler>(
    errors_,
    [this] { return eventHandler_ = createEventHandler(); },
    "MicroApp::createEventHandler() - EventHandler constructor error.\n",
    title_ + "EventHandler",
    eventTaskPriority_,
    eventTaskStackSize_,
    "eventHandler::activate() - Task spawn error.\n");
  if (event == nullptr)
    return -1;
  _taskSync->setTaskId(2, event->threadId());
  return 0;
}

int MicroApp::shutdown()
{
  if (!_taskSync) {
    errors_.set("MicroApp::tasksync never created, cannot shutdown");
    return -1;
  }
  _taskSync->requestShutdown();
  if (eventHandler_ != nullptr && eventHandler_->stop(eventStopSeconds_) == -1)
    errors_.set("Timed out waiting for MicroEventHandler task to exit");
  if (periodicHandler_ != nullptr && periodicHandler_->stop(periodicStopSeconds_) == -1)
    errors_.set("Timed out waiting for MicroPeriodicHandler task to exit");
  return errors_.status() != 0 ? -1 : 0;
}

int MicroApp::idle()
{
  return 0;
}

int MicroApp::initialize(int, char **)
{
  if (!_taskSync)
    _taskSync = std::make_unique<TaskSynchronizer>(title_.c_str(), 3);
  if (_taskSync->errors().status() != 0) {
    errors_.set("MicroApp::initialize() - _taskSync constructor failed");
    return -1;
  }
  return 0;
}
