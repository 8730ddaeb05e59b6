// The event detection task: sleeps until an EventTrigger is raised, then
// runs the application's event processing and the trigger callbacks under
// the synchroniser's lock. It releases the periodic task at start.
#pragma once

#include "framework/Callback.h"
#include "framework/ErrorHandler.h"
#include "framework/MicroTask.h"
#include "framework/TaskSynchronizer.h"

#include <cstdint>
#include <string>
#include <vector>

class MicroEventHandler : public MicroTask
{
public:
  // Throws NullArg(2) when taskSync is null.
  MicroEventHandler(const char *name, TaskSynchronizer *taskSync);
  ~MicroEventHandler() override;

  // -1 for a null trigger; registrations are made before activation.
  int addEvent(EventTrigger *trigger, Callback *callback);
  int run() override;
  // Runs on the event task under the synchroniser's lock. Triggers raised
  // while it runs stay raised and bring another turn.
  virtual int processEvents();
  int invokeCallbacks();
  // Lowers every registered trigger (used at the start handshake).
  void clearTriggers();
  // Requests shutdown and wakes the task, also out of its wait for the start
  // signal; 0 once the thread has ended (at once if it is not running), -1
  // if it still runs after `seconds`.
  int stop(int seconds);
  // Waits at most ms milliseconds until the task, released by its start
  // signal, has dropped the triggers raised before it and watches them: a
  // trigger raised from then on is processed. 0, or -1 on time-out.
  // MicroApp::run calls it before its idle steps; a subclass may extend the
  // wait (e.g. for what else its task needs at start), calling this one.
  virtual int waitUntilWatching(int ms);

  ErrorHandler &errors() { return errors_; }
  const std::string &name() const { return name_; }

protected:
  TaskSynchronizer *taskSync() const { return taskSync_; }

private:
  struct Registration
  {
    EventTrigger *trigger;
    Callback *callback;
  };

  void detectionLoop();
  // Lowers the triggers seen at the start of a turn; a trigger raised
  // since then stays raised and keeps its wake-up for the next turn.
  void clearSeenTriggers();

  ErrorHandler errors_;
  std::string name_;
  TaskSynchronizer *taskSync_;
  EventTrigger shutdownTrigger_;
  Semaphore watching_; // given at the end of each start handshake
  short hasCallbacks_ = 0;
  std::vector<Registration> registry_;
  std::vector<std::uint32_t> seen_; // trigger sequences at the start of a turn
};
