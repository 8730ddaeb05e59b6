// The periodic sampling task: runs callbacks at fixed rates, waking once
// per greatest common divisor of all registered intervals.
#pragma once

#include "framework/Callback.h"
#include "framework/ErrorHandler.h"
#include "framework/MicroTask.h"
#include "framework/TaskSynchronizer.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

struct SampleInterval
{
  int ticks = 0;
  PointerArray<Callback> callbacks; // not owned
};

class MicroPeriodicHandler : public MicroTask
{
public:
  // Throws NullArg(2) when taskSync is null.
  MicroPeriodicHandler(const char *name, TaskSynchronizer *taskSync);
  ~MicroPeriodicHandler() override;

  // Registration happens before the task is activated; no lock is taken.
  // 0 when registered (or already registered). A rate whose interval rounds
  // to 0 ticks (above 2000 Hz), a rate that is not positive or too slow for
  // a 32-bit tick count, or a null callback is refused: -1, recorded in
  // errors().
  int addCallback(float hertz, Callback *cb);
  int addCallback(double hertz, Callback *cb) { return addCallback(static_cast<float>(hertz), cb); }
  int addCallback(unsigned periodMs, Callback *cb);
  int addCallback(int periodMs, Callback *cb) { return addCallback(static_cast<unsigned>(periodMs), cb); }

  int computeSampleTicks();
  int run() override;
  int invokeCallbacks();
  // Requests shutdown and wakes the task, also out of its wait for the start
  // signal; 0 once the thread has ended (at once if it is not running), -1
  // if it still runs after `seconds`.
  int stop(int seconds);

  ErrorHandler &errors() { return errors_; }
  const std::string &name() const { return name_; }
  int sampleTicks() const { return _sampleTicks; }
  // Milliseconds the task waits between passes (one sample interval).
  int passWaitMs() const;
  int maxTicks() const { return maxTicks_; }
  int tickCount() const { return tickCount_.load(std::memory_order_relaxed); }
  // Length of one counting cycle: the least common multiple of the
  // intervals, so every interval divides it and keeps its rate.
  int cycleTicks() const { return cycleTicks_; }
  int intervalCount() { return intervals_.size(); }

protected:
  TaskSynchronizer *taskSync() const { return taskSync_; }

private:
  // Registers cb at `exact` ticks (rounded down; hertz for the texts).
  int addInterval(double exact, float hertz, Callback *cb);

  ErrorHandler errors_;
  std::string name_;
  TaskSynchronizer *taskSync_;
  Semaphore timerSem_{ 1 };
  std::vector<std::unique_ptr<SampleInterval>> intervals_;
  int _sampleTicks = 1;
  int maxTicks_ = 0;
  int cycleTicks_ = 0;
  std::atomic<int> tickCount_{ 0 }; // read by observers while the task runs
};
