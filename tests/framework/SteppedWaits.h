// A clock source that stands in for the periodic task's timed waits, so
// that periods of any length run without real waiting. Installed while it
// lives; declare it before the tasks that use it.
#pragma once

#include "framework/Clock.h"
#include "framework/MicroTask.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

class SteppedWaits : public ClockSource
{
public:
  // The first `instant` waits end at once (as if their time had passed:
  // with the semaphore if it was given, else as time-outs); later ones wait for their semaphore (at most 5 s)
  // or, while held, for release() (at most 10 s) whatever is given.
  explicit SteppedWaits(std::size_t instant)
    : instant_(instant)
  {
    setClockSource(this);
  }
  ~SteppedWaits() override
  {
    setClockSource(nullptr);
    release();
  }

  int timedWait(Semaphore &sem, int ms) override
  {
    std::unique_lock<std::mutex> lock(mutex_);
    waits_.push_back(ms);
    changed_.notify_all();
    if (waits_.size() <= instant_)
      return sem.take(NO_WAIT) == 0 ? 0 : -1;
    if (held_) {
      changed_.wait_for(lock, std::chrono::seconds(10), [this] { return !held_; });
      return -1;
    }
    lock.unlock();
    return sem.take(5000);
  }

  void hold()
  {
    std::lock_guard<std::mutex> guard(mutex_);
    held_ = true;
  }
  void release()
  {
    std::lock_guard<std::mutex> guard(mutex_);
    held_ = false;
    changed_.notify_all();
  }
  // Waits until at least n waits have begun.
  bool waitForWaits(std::size_t n, int ms = 5000)
  {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return waits_.size() >= n; });
  }
  // The time-out of every wait so far, in milliseconds.
  std::vector<int> waits()
  {
    std::lock_guard<std::mutex> guard(mutex_);
    return waits_;
  }

private:
  const std::size_t instant_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<int> waits_;
  bool held_ = false;
};
