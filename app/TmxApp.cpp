#include "app/TmxApp.h"

#include "alarms/Alarm.h"
#include "alarms/AlarmManager.h"
#include "app/Configuration.h"
#include "app/HousingSensor.h"
#include "app/TmxHandlers.h"
#include "corba/supplier.h"
#include "framework/Clock.h"
#include "framework/DateTime.h"
#include "framework/ErrorHandler.h"

#include <TMX.hh>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>

namespace {

constexpr const char *appTitle = "TmxMonitorSystem";

// Creation of one part: an allocation failure becomes an Exception with a
// text that names the part.
template<class T, class... Args>
std::unique_ptr<T> makePart(const char *what, Args &&...args)
{
  try {
    return std::make_unique<T>(std::forward<Args>(args)...);
  } catch (const std::bad_alloc &) {
    throw Exception((std::string("TmxApp::TmxApp() - cannot create the ") + what).c_str());
  }
}

// Registered behind everything raised so far. The manager's pass examines
// pending alarms in registration order and logs each as it enables it, so
// once this one is examined the earlier ones are in the log. It never
// trips itself, so it is never logged or published.
class LogBarrier : public Alarm
{
public:
  LogBarrier()
    : Alarm("", MESSAGE, nullptr, NoRegister{})
  {
    registerWithManager();
  }
  ~LogBarrier() override { unregisterFromManager(); }

  short isTripped() override
  {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      examined_ = true;
    }
    examinedCond_.notify_all();
    return 0;
  }

  bool wait(int ms)
  {
    std::unique_lock<std::mutex> lock(mutex_);
    return examinedCond_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return examined_; });
  }

private:
  std::mutex mutex_;
  std::condition_variable examinedCond_;
  bool examined_ = false;
};

// The event queue's limit: $TMX_EVENT_QUEUE_LIMIT, or the default when it
// is unset, or (with a report) when it is not a positive count.
std::size_t eventQueueLimit()
{
  const char *setting = std::getenv("TMX_EVENT_QUEUE_LIMIT");
  std::size_t limit = Event_Supplier::default_queue_limit;
  if (setting != nullptr && !Event_Supplier::parse_queue_limit(setting, limit)) {
    char text[128];
    std::snprintf(text,
                  sizeof text,
                  "TMX_EVENT_QUEUE_LIMIT \"%.20s\" is not a positive count; the event queue holds %zu values",
                  setting,
                  limit);
    reportError(text);
  }
  return limit;
}

} // namespace

bool TmxApp::waitForAlarmLog(int ms)
{
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  auto left = [&deadline] {
    const auto rest = deadline - std::chrono::steady_clock::now();
    return std::max(0, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(rest).count()));
  };
  // The pass that examines the first barrier has logged everything before
  // it; it publishes after its scan, and the second barrier is examined
  // only by a later pass, once that publishing is done.
  {
    LogBarrier logged;
    if (!logged.wait(left()))
      return false;
  }
  LogBarrier published;
  return published.wait(left());
}

void TmxApp::destroyOrb()
{
  CORBA::ORB_ptr orb = supplier_ ? supplier_->orb_manager().orb() : CORBA::ORB::_nil();
  if (CORBA::is_nil(orb))
    return;
  try {
    orb->destroy();
  } catch (const CORBA::Exception &) {
    // Destroyed already, or never fully initialised: nothing to wait for.
  }
}

TmxApp::TmxApp()
  : MicroApp(appName(), appTitle)
{
  try {
    alarmManager_ = &AlarmManager::instance();
    alarmManager_->activate("AlarmMgr", 0, 0, 4096);
    configuration_ = makePart<AppConfiguration>("configuration");
    supplier_ = makePart<Supplier>("supplier", &threadManager_, static_cast<ElapsedTimeSource *>(this));
    spectrographSensor_ = makePart<HousingSensor>("spectrograph sensor", "Spectrograph Housing");
    electronicsSensor_ = makePart<HousingSensor>("electronics sensor", "Electronics Housing");
  } catch (const Exception &e) {
    const char *text = e.message() != nullptr ? e.message() : "TmxApp::TmxApp() failed";
    std::printf("%s\n", text);
    std::fflush(stdout);
    reportError(text);
    throw Exception(text);
  }
}

TmxApp::~TmxApp()
{
  // Tasks still running would use the parts deleted below.
  if ((eventHandlerOwned_ && !eventHandlerOwned_->hasEnded()) ||
      (periodicHandlerOwned_ && !periodicHandlerOwned_->hasEnded()))
    MicroApp::shutdown();
  supplier_.reset();
  configuration_.reset();
  eventHandlerOwned_.reset();
  periodicHandlerOwned_.reset();
  electronicsSensor_.reset();
  spectrographSensor_.reset();
  // The manager is process-wide and outlives the application; its task is
  // ended here so that no alarm of ours is looked at afterwards.
  if (alarmManager_ != nullptr) {
    alarmManager_->close();
    alarmManager_->wait(5000);
  }
}

int TmxApp::shutdown()
{
  requestShutdown();
  return 0;
}

void TmxApp::requestShutdown()
{
  reportMessage("Application shutdown requested");
  shutdownRequested_.store(1);
}

std::int32_t TmxApp::elapsedTime()
{
  return static_cast<std::int32_t>(currentTime() - startTime_.load());
}

EventTrigger &TmxApp::shutdownTrigger()
{
  return inputHandler_.shutdown_trigger();
}

void TmxApp::requestTermination()
{
  // The event task drops triggers raised before its start signal; the idle
  // state machine catches such an early request.
  terminationRequested_.store(true);
  inputHandler_.shutdown_trigger().trigger();
}

int TmxApp::setTaskParameters()
{
  eventTaskPriority_ = 1;
  eventTaskStackSize_ = 10000;
  periodicTaskPriority_ = 15;
  periodicTaskStackSize_ = 10000;
  return 1;
}

int TmxApp::initialize(int argc, char **argv)
{
  reportMessage("Initializing alarm/msg log file");
  alarmManager_->createLogFile(supplier_.get());

  if (MicroApp::initialize(argc, argv) == -1)
    return -1;

  reportMessage("Reading tmx.cfg file");
  configuration_->initialize("tmx.cfg");

  if (spectrographSensor_->initialize("TMX-S1", configuration_.get()) == -1) {
    reportError("Error initializing spectrograph housing sensors");
    return -1;
  }
  if (electronicsSensor_->initialize("TMX-E1", configuration_.get()) == -1) {
    reportError("Error initializing electronics housing sensors");
    return -1;
  }
  supplier_->event_supplier().set_queue_limit(eventQueueLimit());
  if (supplier_->init(argc, argv) == -1) {
    reportError("Event supplier init failed");
    return -1;
  }
  supplierReady_ = true;
  if (inputHandler_.init(supplier_.get()) == -1) {
    reportError("Error initializing keyboard input handler");
    abandonStartup();
    return -1;
  }
  return 0;
}

void TmxApp::abandonStartup()
{
  if (!supplierReady_)
    return;
  supplierReady_ = false;
  supplier_->shutdown();
}

MicroEventHandler *TmxApp::createEventHandler()
{
  try {
    eventHandlerOwned_ = std::make_unique<TmxEventHandler>(appName(), this);
  } catch (const Exception &e) {
    trace(1, 4, "TmxApp::createEventHandler %s\n", e.message() != nullptr ? e.message() : "");
    return nullptr;
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  return eventHandlerOwned_.get();
}

MicroPeriodicHandler *TmxApp::createPeriodicHandler()
{
  try {
    periodicHandlerOwned_ = std::make_unique<TmxPeriodicHandler>(appName(), this);
  } catch (const Exception &e) {
    trace(1, 4, "TmxApp::createPeriodicHandler %s\n", e.message() != nullptr ? e.message() : "");
    return nullptr;
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  return periodicHandlerOwned_.get();
}

int TmxApp::idle()
{
  switch (state_) {
    case 0:
      started_.store(true);
      startTime_.store(currentTime());
      state_ = 1;
      break;
    case 1:
      supplier_->start();
      state_ = 2;
      break;
    case 2:
      sleepMilliseconds(1000);
      if (terminationRequested_.load() && shutdownRequested_.load() == 0)
        requestShutdown();
      if (shutdownRequested_.load() != 0)
        state_ = 3;
      break;
    case 3:
      configuration_->write();
      state_ = 4;
      break;
    default:
      shutdownSequence();
      break;
  }
  return 0;
}

void TmxApp::shutdownSequence()
{
  reportMessage("Application shutdown started...");
  sleepMilliseconds(500);
  MicroApp::shutdown();
  if (errors().status() != 0)
    reportError(errors().message().c_str());
  sleepMilliseconds(4000);
  supplier_->shutdown();
  supplierReady_ = false;
  inputHandler_.close();
  threadManager_.wait();
  releaseEndedTasks();
}

void TmxApp::releaseEndedTasks()
{
  // Nothing looks at the framework tasks once they have stopped; deleting
  // them joins their threads. A task that did not stop in time (reported
  // by the shutdown) is left alone: joining it could block for good.
  if (eventHandlerOwned_ && eventHandlerOwned_->hasEnded() != 0) {
    eventHandler_ = nullptr;
    eventHandlerOwned_.reset();
  }
  if (periodicHandlerOwned_ && periodicHandlerOwned_->hasEnded() != 0) {
    periodicHandler_ = nullptr;
    periodicHandlerOwned_.reset();
  }
}
