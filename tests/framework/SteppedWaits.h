// A clock source that stands in for the periodic task's timed waits, so
// that periods of any length run without real waiting. Installed while it
// lives; declare it before the tasks that use it.
#pragma once

#include "framework/Clock.h"
#include "framework/MicroTask.h"
#include "tests/support/TestUtil.h"

#include <chrono>
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
    if (waits_.add(ms) <= instant_)
      return sem.take(NO_WAIT) == 0 ? 0 : -1;
    if (gate_.held()) {
      gate_.pass(std::chrono::seconds(10));
      return -1;
    }
    return sem.take(5000);
  }

  void hold() { gate_.hold(); }
  void release() { gate_.release(); }
  // Waits until at least n waits have begun.
  bool waitForWaits(std::size_t n, int ms = 5000)
  {
    return waits_.waitCount(n, std::chrono::milliseconds(ms));
  }
  // The time-out of every wait so far, in milliseconds.
  std::vector<int> waits() { return waits_.items(); }

private:
  const std::size_t instant_;
  tmx::test::Recorder<int> waits_;
  tmx::test::Gate gate_;
};
