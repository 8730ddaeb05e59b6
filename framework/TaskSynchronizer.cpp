#include "framework/TaskSynchronizer.h"

#include <algorithm>
#include <chrono>

TaskSynchronizer::TaskSynchronizer(const char *, int)
{
  // Always three entries: 0 unused, 1 periodic task, 2 event task.
  errors_.clear();
  task_.resize(count_);
  for (TaskData &data : task_) {
    data.taskId = 0;
    data.sem = std::make_unique<Semaphore>(0);
    data.shutdownSem = std::make_unique<Semaphore>(0);
    data.resetSem = std::make_unique<Semaphore>(0);
  }
}

TaskSynchronizer::~TaskSynchronizer()
{
  for (TaskData &data : task_) {
    data.sem->close();
    data.shutdownSem->close();
    data.resetSem->close();
  }
}

bool TaskSynchronizer::valid(int i) const
{
  return i >= 0 && i < count_ && i < static_cast<int>(task_.size());
}

int TaskSynchronizer::signalTask(int i)
{
  if (!valid(i))
    return -1;
  task_[i].sem->give();
  return 0;
}

int TaskSynchronizer::waitForTask(int i, int ms)
{
  if (!valid(i))
    return -1;
  return task_[i].sem->take(ms);
}

int TaskSynchronizer::setTaskId(int i, std::uint64_t id)
{
  if (!valid(i))
    return -1;
  task_[i].taskId = id;
  return 0;
}

void TaskSynchronizer::resetReceived(int i)
{
  if (!valid(i))
    return;
  trace(1, 4, "Reset from task %d received\n", i);
  task_[i].resetSem->give();
}

void TaskSynchronizer::shutdownReceived(int i)
{
  if (!valid(i))
    return;
  trace(1, 4, "Shutdown from task %d received\n", i);
  task_[i].shutdownSem->give();
}

int TaskSynchronizer::waitForShutdown(int i, int seconds)
{
  if (!valid(i))
    return -1;
  const int ms = seconds < 0 ? WAIT_FOREVER : (seconds > 2000000 ? 2000000000 : seconds * 1000);
  return task_[i].shutdownSem->take(ms);
}

void TaskSynchronizer::requestShutdown()
{
  shutdownRequested_.store(1);
}

bool TaskSynchronizer::shutdownRequested() const
{
  return shutdownRequested_.load() != 0;
}

int TaskSynchronizer::stopTask(int i, MicroTask &task, int seconds, const std::function<void()> &wake)
{
  requestShutdown();
  if (task.hasEnded())
    return 0; // never started, or already ended
  if (wake)
    wake();
  signalTask(i);
  const auto start = std::chrono::steady_clock::now();
  if (waitForShutdown(i, seconds) == 0) {
    // The acknowledgement comes just before the thread ends.
    const long long spent =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    const long long left = seconds < 0 ? 1000 : static_cast<long long>(seconds) * 1000 - spent;
    task.wait(static_cast<int>(std::min(std::max(left, 200LL), 2000000000LL)));
  }
  return task.hasEnded() ? 0 : -1;
}

const TaskData *TaskSynchronizer::task(int i) const
{
  return valid(i) ? &task_[i] : nullptr;
}
