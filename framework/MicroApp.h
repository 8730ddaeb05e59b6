// The application object and its run cycle: initialise, spawn the
// periodic and event tasks, start them, idle until shutdown, stop them.
#pragma once

#include "framework/ErrorHandler.h"
#include "framework/MicroEventHandler.h"
#include "framework/MicroPeriodicHandler.h"
#include "framework/MicroTask.h"
#include "framework/TaskSynchronizer.h"

#include <memory>
#include <string>

// Identity strings written into the log header.
const char *appName();    // "TMX"
const char *appVersion(); // "1.0"
const char *appBuild();   // "EMBEDDED v1 built Dec  3 2001 at 18:01:02" (date and time of the build)

class MicroApp : public MicroTask
{
public:
  MicroApp(const char *name, const char *title);
  ~MicroApp() override;

  // The whole life of the application; returns 0 in every case. The idle
  // steps begin once the event task watches its triggers (at most
  // eventStartTimeoutMs later).
  int run(int argc, char **argv);
  int spawnTasks();

  // Requests shutdown and stops the event task, then the periodic task,
  // waiting eventStopSeconds_ and periodicStopSeconds_ for each. -1 when a
  // task did not end in time ("Timed out waiting for ... task to exit") or
  // an error was recorded before, else 0.
  virtual int shutdown();
  virtual MicroPeriodicHandler *createPeriodicHandler() = 0;
  virtual MicroEventHandler *createEventHandler() = 0;
  virtual int idle();
  virtual int setTaskParameters() = 0;
  virtual int initialize(int argc, char **argv);

  ErrorHandler &errors() { return errors_; }
  TaskSynchronizer *taskSync() const { return _taskSync.get(); }
  const std::string &name() const { return name_; }
  const std::string &title() const { return title_; }

  static constexpr int eventStartTimeoutMs = 10000;

protected:
  using MicroTask::run;

  ErrorHandler errors_;
  std::unique_ptr<TaskSynchronizer> _taskSync;
  MicroPeriodicHandler *periodicHandler_ = nullptr; // not owned
  MicroEventHandler *eventHandler_ = nullptr;       // not owned
  std::string name_;
  std::string title_;
  int eventTaskPriority_ = 0;
  int eventTaskStackSize_ = 5500;
  int periodicTaskPriority_ = 15;
  int periodicTaskStackSize_ = 5500;
  int eventStopSeconds_ = 10;
  int periodicStopSeconds_ = 20;
};
