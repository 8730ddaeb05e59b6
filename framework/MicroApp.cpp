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
  while (!_taskSync->shutdownRequested())
    idle();
  return 0;
}

int MicroApp::spawnTasks()
{
  trace(1, 4, "MicroApp::spawnTasks()\n");
  if (!_taskSync) {
    errors_.set("MicroApp::spawnTasks() - _taskSync not created");
    return -1;
  }
  setTaskParameters();

  const std::string periodicName = title_ + "PeriodicHandler";
  trace(1, 4, "MicroApp::createPeriodicHandler()\n");
  try {
    periodicHandler_ = createPeriodicHandler();
  } catch (const Exception &) {
    periodicHandler_ = nullptr;
  }
  if (periodicHandler_ == nullptr || periodicHandler_->errors().status() != 0) {
    errors_.set("MicroApp::createPeriodicHandler() - PeriodicHandler constructor failed");
    return -1;
  }
  if (periodicHandler_->activate(periodicName.c_str(), periodicTaskPriority_, 0, periodicTaskStackSize_) ==
      -1) {
    errors_.set("periodicHandler::activate() - Task spawn error.\n");
    return -1;
  }
  _taskSync->setTaskId(1, periodicHandler_->threadId());

  const std::string eventName = title_ + "EventHandler";
  trace(1, 4, "MicroApp::createEventHandler()\n");
  try {
    eventHandler_ = createEventHandler();
  } catch (const Exception &) {
    eventHandler_ = nullptr;
  }
  if (eventHandler_ == nullptr || eventHandler_->errors().status() != 0) {
    errors_.set("MicroApp::createEventHandler() - EventHandler constructor error.\n");
    return -1;
  }
  if (eventHandler_->activate(eventName.c_str(), eventTaskPriority_, 0, eventTaskStackSize_) == -1) {
    errors_.set("eventHandler::activate() - Task spawn error.\n");
    return -1;
  }
  _taskSync->setTaskId(2, eventHandler_->threadId());
  return 0;
}

int MicroApp::shutdown()
{
  if (!_taskSync) {
    errors_.set("MicroApp::tasksync never created, cannot shutdown");
    return -1;
  }
  _taskSync->requestShutdown();
  if (eventHandler_ != nullptr && eventHandler_->stop(10) == -1)
    errors_.set("Timed out waiting for MicroEventHandler task to exit");
  if (periodicHandler_ != nullptr && periodicHandler_->stop(20) == -1)
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
