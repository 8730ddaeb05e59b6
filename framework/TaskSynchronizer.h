// Start and shutdown semaphores of the framework tasks, the shutdown flag
// and the lock that serialises the tasks' work.
#pragma once

#include "framework/ErrorHandler.h"
#include "framework/MicroTask.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

struct TaskData
{
  std::uint64_t taskId = 0;
  std::unique_ptr<Semaphore> sem;         // start signal
  std::unique_ptr<Semaphore> shutdownSem; // given when the task left its loop for good
  std::unique_ptr<Semaphore> resetSem;    // given on each (re)entry of the start handshake
};

// Task indices: 1 the periodic sampling task, 2 the event detection task;
// 0 is unused. An index outside 0..count-1 changes nothing; operations
// with a result then return -1.
class TaskSynchronizer
{
public:
  TaskSynchronizer(const char *title, int taskCount);
  ~TaskSynchronizer();

  int signalTask(int i);
  int waitForTask(int i, int ms);
  int setTaskId(int i, std::uint64_t id);
  void resetReceived(int i);
  void shutdownReceived(int i);
  int waitForShutdown(int i, int seconds);
  void requestShutdown();
  bool shutdownRequested() const;
  // Stops task i, whose thread `task` runs: requests shutdown and, unless
  // the thread has ended (or never ran), calls wake, gives the start signal
  // (which also releases a task still in its start handshake), waits up to
  // `seconds` (-1: no limit) for the acknowledgement and then for the thread
  // to end. 0 once the thread has ended, -1 if it still runs.
  int stopTask(int i, MicroTask &task, int seconds, const std::function<void()> &wake);

  Mutex &lock() { return lock_; }
  int count() const { return count_; }
  ErrorHandler &errors() { return errors_; }
  const TaskData *task(int i) const;

private:
  bool valid(int i) const;

  ErrorHandler errors_;
  Mutex lock_;
  std::atomic<short> shutdownRequested_{ 0 };
  int count_ = 3;
  std::vector<TaskData> task_;
};
