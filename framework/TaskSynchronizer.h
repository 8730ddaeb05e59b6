// Start and shutdown semaphores of the framework tasks, the shutdown flag
// and the lock that serialises the tasks' work.
#pragma once

#include "framework/ErrorHandler.h"
#include "framework/MicroTask.h"

#include <atomic>
#include <cstdint>
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
