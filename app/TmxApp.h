// The monitor application: owns every long-lived part of the monitor,
// brings them up in order, runs the idle state machine on the main thread
// and takes everything down in order once a shutdown is requested.
#pragma once

#include "app/HousingLimits.h"
#include "corba/InputHandler.h"
#include "corba/tmxapp_i.h"
#include "framework/MicroApp.h"

#include <ace/Thread_Manager.h>

#include <atomic>
#include <cstdint>
#include <memory>

class AlarmManager;
class AppConfiguration;
class EventTrigger;
class HousingSensor;
class Supplier;
class TmxEventHandler;
class TmxPeriodicHandler;

// The steps of the idle state machine, in order.
enum class IdleState
{
  starting,             // records the start time
  startingSupplier,     // starts the CORBA side and the console
  running,              // polls for a shutdown request once a second
  writingConfiguration, // rewrites tmx.cfg
  shuttingDown          // stops the tasks and the CORBA side
};

class TmxApp
  : public MicroApp
  , public ElapsedTimeSource
{
public:
  // Activates the alarm manager task and creates the configuration, the
  // supplier and both sensors. Throws Exception when a part cannot be made.
  TmxApp();
  ~TmxApp() override;

  // The program entry's request: logs "Application shutdown requested" (also
  // when one was requested before) and raises the flag; the idle state
  // machine does the rest.
  int shutdown() override;
  MicroPeriodicHandler *createPeriodicHandler() override;
  MicroEventHandler *createEventHandler() override;
  int idle() override;
  int setTaskParameters() override;
  int initialize(int argc, char **argv) override;

  // Raises the flag that the idle state machine polls once a second and
  // logs "Application shutdown requested" when it was not raised yet: one
  // request is logged once, however many paths report it. Thread-safe.
  void requestShutdown();
  // Seconds since the first idle step (the whole of currentTime() before).
  std::int32_t elapsedTime() override;

  // A stop request from outside the console (SIGTERM): raises the console's
  // shutdown trigger, as "quit" does. Safe from any ordinary thread (not
  // from a signal handler).
  void requestTermination();

  // True once the idle state machine ran: start-up (initialize and
  // spawnTasks) succeeded.
  bool started() const { return started_.load(); }
  bool shutdownRequested() const { return shutdownRequested_.load() != 0; }
  IdleState state() const { return state_; }

  Supplier *supplier() const { return supplier_.get(); }
  HousingSensor *spectrographSensor() const { return spectrographSensor_.get(); }
  HousingSensor *electronicsSensor() const { return electronicsSensor_.get(); }
  // Each housing's limits from tmx.cfg, read by initialize().
  const HousingLimits &spectrographLimits() const { return spectrographLimits_; }
  const HousingLimits &electronicsLimits() const { return electronicsLimits_; }
  EventTrigger &shutdownTrigger();
  InputHandler &inputHandler() { return inputHandler_; }
  AppConfiguration *configuration() const { return configuration_.get(); }
  ACE_Thread_Manager &threadManager() { return threadManager_; }

  // Waits for the ORB's shutdown (begun by the supplier's shutdown, or by
  // this call after a failed start-up) and ends the ORB's threads, so that
  // none of them runs while the process ends. Call last: nothing may be
  // published afterwards.
  void destroyOrb();

  // After a failed start-up: undoes what others can see (the "TMXSYSTEM"
  // binding, the ORB) when the supplier had been initialised.
  void abandonStartup();

private:
  void shutdownSequence();
  void releaseEndedTasks();

  // Declared in destruction order reversed: the thread manager and the
  // input handler outlive everything that may use them.
  InputHandler inputHandler_;
  ACE_Thread_Manager threadManager_;
  std::unique_ptr<HousingSensor> spectrographSensor_;
  std::unique_ptr<HousingSensor> electronicsSensor_;
  HousingLimits spectrographLimits_;
  HousingLimits electronicsLimits_;
  std::unique_ptr<TmxPeriodicHandler> periodicHandlerOwned_;
  std::unique_ptr<TmxEventHandler> eventHandlerOwned_;
  std::unique_ptr<AppConfiguration> configuration_;
  std::unique_ptr<Supplier> supplier_;

  std::atomic<std::uint32_t> startTime_{ 0 };
  IdleState state_ = IdleState::starting;
  std::atomic<short> shutdownRequested_{ 0 };
  std::atomic<bool> terminationRequested_{ false };
  std::atomic<bool> started_{ false };
  bool supplierReady_ = false;
  AlarmManager *alarmManager_ = nullptr;
};
