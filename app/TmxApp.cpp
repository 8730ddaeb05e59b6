#include "app/TmxApp.h"

#include "alarms/Alarm.h"
#include "alarms/AlarmManager.h"
#include "app/Configuration.h"
#include "app/HousingSensor.h"
#include "app/RunDirectories.h"
#include "app/TmxHandlers.h"
#include "config/AlarmTexts.h"
#include "corba/supplier.h"
#include "framework/Clock.h"
#include "framework/DateTime.h"
#include "framework/ErrorHandler.h"

#include <TMX.hh>

#include <cstdio>
#include <cstdlib>
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
  reportMessage("Application shutdown requested");
  shutdownRequested_.store(1);
  return 0;
}

void TmxApp::requestShutdown()
{
  // The event task and the idle state machine may both report one request.
  if (shutdownRequested_.exchange(1) == 0)
    reportMessage("Application shutdown requested");
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
  const RunDirectories directories = RunDirectories::fromEnvironment();
  // Published, so that tmx-web sees each start before any alarm of it.
  alarmManager_->setEventSink(supplier_.get());
  reportMessage(tmx::alarmtext::monitorStarting);
  alarmManager_->createLogFile(supplier_.get(), directories.log);

  if (MicroApp::initialize(argc, argv) == -1)
    return -1;

  reportMessage("Reading tmx.cfg file");
  configuration_->initialize("tmx.cfg", directories.config);

  const char *spectrographId = tmx::alarmtext::sensorId(1);
  const char *electronicsId = tmx::alarmtext::sensorId(0);
  if (spectrographSensor_->initialize(spectrographId, configuration_.get()) == -1) {
    reportError("Error initializing spectrograph housing sensors");
    return -1;
  }
  if (electronicsSensor_->initialize(electronicsId, configuration_.get()) == -1) {
    reportError("Error initializing electronics housing sensors");
    return -1;
  }
  spectrographLimits_ = readHousingLimits(*configuration_, spectrographId);
  electronicsLimits_ = readHousingLimits(*configuration_, electronicsId);
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

namespace {
// Creates one of the monitor's tasks into `owned`; null when it cannot be
// made (the reason traced under `what`).
template<class Handler>
Handler *createHandler(std::unique_ptr<Handler> &owned, const char *what, TmxApp *app)
{
  try {
    owned = std::make_unique<Handler>(appName(), app);
  } catch (const Exception &e) {
    trace(1, 4, "%s %s\n", what, e.message() != nullptr ? e.message() : "");
    return nullptr;
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  return owned.get();
}
} // namespace

MicroEventHandler *TmxApp::createEventHandler()
{
  return createHandler(eventHandlerOwned_, "TmxApp::createEventHandler", this);
}

MicroPeriodicHandler *TmxApp::createPeriodicHandler()
{
  return createHandler(periodicHandlerOwned_, "TmxApp::createPeriodicHandler", this);
}

int TmxApp::idle()
{
  switch (state_) {
    case IdleState::starting:
      started_.store(true);
      startTime_.store(currentTime());
      state_ = IdleState::startingSupplier;
      break;
    case IdleState::startingSupplier:
      supplier_->start();
      state_ = IdleState::running;
      break;
    case IdleState::running:
      sleepMilliseconds(1000);
      if (terminationRequested_.load())
        requestShutdown();
      if (shutdownRequested_.load() != 0)
        state_ = IdleState::writingConfiguration;
      break;
    case IdleState::writingConfiguration:
      configuration_->write();
      state_ = IdleState::shuttingDown;
      break;
    case IdleState::shuttingDown:
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
