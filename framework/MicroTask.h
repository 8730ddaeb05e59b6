// The framework's concurrency layer: binary semaphores, locks, event
// triggers and the task base class that owns one thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// Wait time-outs are milliseconds; -1 waits without limit, 0 polls.
constexpr int WAIT_FOREVER = -1;
constexpr int NO_WAIT = 0;

// A binary semaphore: its count is 0 or 1, so a give while the count is 1
// merges with the pending one. A named semaphore is process-wide: every
// Semaphore created with the same name shares one object (the initial
// count of a later one is ignored, as for an existing system object).
class Semaphore
{
public:
  explicit Semaphore(int initialCount = 0, const char *name = nullptr);
  ~Semaphore();
  Semaphore(const Semaphore &) = delete;
  Semaphore &operator=(const Semaphore &) = delete;

  // 1 when the count went from 0 to 1; 0 when it was 1 already (merged)
  // or the semaphore is closed.
  int give();
  // 0 when taken, -1 on time-out; 1 (an error code) on a closed semaphore.
  int take(int ms);
  // Releases this handle; a later take fails at once. Idempotent.
  void close();

private:
  struct State;
  std::shared_ptr<State> state_;
  std::atomic<bool> closed_{ false };
};

class Lock
{
public:
  virtual ~Lock();
  virtual int acquire() = 0;
  virtual int release() = 0;
};

class Mutex : public Lock
{
public:
  int acquire() override;
  int release() override;

  // BasicLockable, so std::lock_guard<Mutex> works.
  void lock() { acquire(); }
  void unlock() { release(); }

private:
  std::mutex mutex_;
};

// An event flag with its own semaphore. Every trigger also gives the one
// process-wide wake-up semaphore "EventTriggerSemaphore", on which the
// event task waits; several triggers before the waiter runs give one
// wake-up.
class EventTrigger
{
public:
  explicit EventTrigger(int initialState = 0, const char *name = nullptr);
  ~EventTrigger();

  void trigger();
  // Lowers the flag and removes at most one pending wake-up.
  void clear();
  short isTriggered() const;

  // Takes "EventTriggerSemaphore" with the given time-out.
  static int waitForEvent(int ms);
  static Semaphore &wakeupSemaphore();

  // Number of trigger() calls so far. With clearIfUnchanged it lets a
  // waiter lower the flag without losing a trigger raised meanwhile.
  std::uint32_t sequence() const;
  // Lowers the flag if no trigger() happened since sequence() returned
  // `seen`; returns false (flag left raised) otherwise. Leaves the wake-up
  // semaphore alone.
  bool clearIfUnchanged(std::uint32_t seen);

private:
  mutable std::mutex mutex_; // orders flag and sequence updates
  std::atomic<short> triggered_;
  std::uint32_t sequence_ = 0;
  Semaphore sem_;
};

// Task base: owns at most one thread at a time. Priorities map best-effort
// onto the platform (normal priority where real-time ones are refused);
// stack sizes are hints never below the platform default. A task must be
// stopped before it is destroyed: the destructor joins its thread.
class MicroTask
{
public:
  MicroTask();
  virtual ~MicroTask();
  MicroTask(const MicroTask &) = delete;
  MicroTask &operator=(const MicroTask &) = delete;

  virtual int run();           // the thread body; default returns 0
  virtual int open(void *arg); // default -1; not called by the framework
  virtual int close();         // called on the task's thread after run; default -1
  virtual int wait(int ms);    // 0 if the thread ended within ms (-1: no limit), else -1
  virtual int suspend();       // -1: not supported on this platform
  virtual int resume();        // -1: not supported on this platform

  // 0 when started, 1 when the thread is already running, -1 on failure.
  // The name identifies the request only; it is not stored.
  int activate(const char *name, int priority, long flags, int stackSize);
  // 0 while the thread runs, non-zero once it has ended (or never ran).
  int hasEnded() const;
  std::uint64_t threadId() const;

protected:
  // Joins an ended thread; subclasses whose destructors stop the thread
  // call it before their own members go away.
  void joinThread();

private:
  static void *threadRoutine(void *self);

  std::atomic<int> threadCount_{ 0 };
  std::atomic<std::uint64_t> threadId_{ 0 };
  std::atomic<bool> running_{ false };
  bool joinable_ = false;    // guarded by lock_
  unsigned long thread_ = 0; // pthread_t, guarded by lock_
  Mutex lock_;
  std::mutex stateMutex_; // with stateChanged_: signals the thread's end
  std::condition_variable stateChanged_;
};
