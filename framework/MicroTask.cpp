#include "framework/MicroTask.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>

// ---------------------------------------------------------------- Semaphore

struct Semaphore::State
{
  std::mutex mutex;
  std::condition_variable cv;
  int count = 0;
};

namespace {
// Named semaphores live as long as some handle refers to them. The registry
// is never destroyed so that handles closed during exit still find it.
struct Registry
{
  std::mutex mutex;
  std::map<std::string, std::weak_ptr<void>> byName; // Semaphore::State
};

Registry &registry()
{
  static Registry *r = new Registry;
  return *r;
}
} // namespace

Semaphore::Semaphore(int initialCount, const char *name)
{
  const int count = initialCount > 0 ? 1 : 0;
  if (name == nullptr) {
    state_ = std::make_shared<State>();
    state_->count = count;
    return;
  }
  Registry &r = registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  std::weak_ptr<void> &entry = r.byName[name];
  state_ = std::static_pointer_cast<State>(entry.lock());
  if (!state_) {
    state_ = std::make_shared<State>();
    state_->count = count;
    entry = state_;
  }
}

Semaphore::~Semaphore()
{
  close();
  Registry &r = registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  state_.reset();
  for (auto it = r.byName.begin(); it != r.byName.end();)
    it = it->second.expired() ? r.byName.erase(it) : std::next(it);
}

int Semaphore::give()
{
  if (closed_.load())
    return 0;
  std::lock_guard<std::mutex> guard(state_->mutex);
  if (state_->count > 0)
    return 0;
  state_->count = 1;
  state_->cv.notify_one();
  return 1;
}

int Semaphore::take(int ms)
{
  if (closed_.load())
    return 1;
  std::unique_lock<std::mutex> lock(state_->mutex);
  auto ready = [this] { return state_->count > 0 || closed_.load(); };
  if (ms < 0) {
    state_->cv.wait(lock, ready);
  } else {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    if (!state_->cv.wait_until(lock, deadline, ready))
      return -1;
  }
  if (closed_.load())
    return 1;
  state_->count = 0;
  return 0;
}

void Semaphore::close()
{
  if (closed_.exchange(true))
    return;
  // Wakes a waiter blocked on this handle; it then reports the closed handle.
  std::lock_guard<std::mutex> guard(state_->mutex);
  state_->cv.notify_all();
}

// ---------------------------------------------------------------- Lock, Mutex

Lock::~Lock() = default;

int Mutex::acquire()
{
  mutex_.lock();
  return 0;
}

int Mutex::release()
{
  mutex_.unlock();
  return 0;
}

// ---------------------------------------------------------------- EventTrigger

EventTrigger::EventTrigger(int initialState, const char *name)
  : triggered_(initialState != 0 ? 1 : 0)
  , sem_(initialState != 0 ? 1 : 0, name)
{
}

EventTrigger::~EventTrigger()
{
  sem_.close();
}

void EventTrigger::trigger()
{
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ++sequence_;
    triggered_.store(1);
  }
  sem_.give();
  wakeupSemaphore().give();
}

void EventTrigger::clear()
{
  {
    std::lock_guard<std::mutex> guard(mutex_);
    triggered_.store(0);
  }
  wakeupSemaphore().take(NO_WAIT);
}

short EventTrigger::isTriggered() const
{
  return triggered_.load();
}

std::uint32_t EventTrigger::sequence() const
{
  std::lock_guard<std::mutex> guard(mutex_);
  return sequence_;
}

bool EventTrigger::clearIfUnchanged(std::uint32_t seen)
{
  std::lock_guard<std::mutex> guard(mutex_);
  if (sequence_ != seen)
    return false;
  triggered_.store(0);
  return true;
}

int EventTrigger::waitForEvent(int ms)
{
  return wakeupSemaphore().take(ms);
}

Semaphore &EventTrigger::wakeupSemaphore()
{
  // Created on first use and never destroyed: triggers may fire from
  // threads that outlive static destruction.
  static Semaphore *wakeup = new Semaphore(0, "EventTriggerSemaphore");
  return *wakeup;
}

// ---------------------------------------------------------------- MicroTask

MicroTask::MicroTask() = default;

MicroTask::~MicroTask()
{
  joinThread();
}

int MicroTask::run()
{
  return 0;
}

int MicroTask::open(void *)
{
  return -1;
}

int MicroTask::close()
{
  return -1;
}

int MicroTask::wait(int ms)
{
  std::unique_lock<std::mutex> lock(stateMutex_);
  auto ended = [this] { return !running_.load(); };
  if (ms < 0) {
    stateChanged_.wait(lock, ended);
    return 0;
  }
  return stateChanged_.wait_for(lock, std::chrono::milliseconds(ms), ended) ? 0 : -1;
}

int MicroTask::suspend()
{
  return -1;
}

int MicroTask::resume()
{
  return -1;
}

namespace {
int createThread(pthread_t *thread, int priority, int stackSize, void *(*routine)(void *), void *arg)
{
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0)
    return -1;
  std::size_t defaultStack = 0;
  pthread_attr_getstacksize(&attr, &defaultStack);
  if (stackSize > 0 && static_cast<std::size_t>(stackSize) > defaultStack) {
    const long page = sysconf(_SC_PAGESIZE) > 0 ? sysconf(_SC_PAGESIZE) : 4096;
    const std::size_t size = (static_cast<std::size_t>(stackSize) + page - 1) / page * page;
    pthread_attr_setstacksize(&attr, size);
  }

  int rc = EPERM;
  if (priority > 0) {
    // Above-normal priorities map onto SCHED_FIFO 1..15 where the process
    // may use real-time scheduling.
    sched_param param{};
    param.sched_priority = std::clamp(
      priority, sched_get_priority_min(SCHED_FIFO), std::min(15, sched_get_priority_max(SCHED_FIFO)));
    pthread_attr_t rt;
    if (pthread_attr_init(&rt) == 0) {
      std::size_t size = 0;
      pthread_attr_getstacksize(&attr, &size);
      pthread_attr_setstacksize(&rt, size);
      pthread_attr_setinheritsched(&rt, PTHREAD_EXPLICIT_SCHED);
      pthread_attr_setschedpolicy(&rt, SCHED_FIFO);
      pthread_attr_setschedparam(&rt, &param);
      rc = pthread_create(thread, &rt, routine, arg);
      pthread_attr_destroy(&rt);
    }
  }
  if (rc != 0) // normal priority, also where real-time was refused
    rc = pthread_create(thread, &attr, routine, arg);
  pthread_attr_destroy(&attr);
  return rc == 0 ? 0 : -1;
}
} // namespace

int MicroTask::activate(const char *, int priority, long, int stackSize)
{
  std::lock_guard<Mutex> guard(lock_);
  if (threadCount_.load() > 0)
    return 1;
  if (joinable_) {
    pthread_join(static_cast<pthread_t>(thread_), nullptr);
    joinable_ = false;
  }
  threadCount_.store(1);
  {
    std::lock_guard<std::mutex> state(stateMutex_);
    running_.store(true);
  }
  pthread_t thread;
  if (createThread(&thread, priority, stackSize, &MicroTask::threadRoutine, this) != 0) {
    threadCount_.store(0);
    std::lock_guard<std::mutex> state(stateMutex_);
    running_.store(false);
    return -1;
  }
  thread_ = static_cast<unsigned long>(thread);
  threadId_.store(static_cast<std::uint64_t>(thread));
  joinable_ = true;
  return 0;
}

int MicroTask::hasEnded() const
{
  return running_.load() ? 0 : 1;
}

std::uint64_t MicroTask::threadId() const
{
  return threadId_.load();
}

void MicroTask::joinThread()
{
  std::lock_guard<Mutex> guard(lock_);
  if (!joinable_)
    return;
  const pthread_t thread = static_cast<pthread_t>(thread_);
  if (pthread_equal(thread, pthread_self()))
    pthread_detach(thread); // a task ending itself cannot join its own thread
  else
    pthread_join(thread, nullptr);
  joinable_ = false;
}

void *MicroTask::threadRoutine(void *self)
{
  auto *task = static_cast<MicroTask *>(self);
  task->run();
  task->close();
  std::lock_guard<std::mutex> state(task->stateMutex_);
  task->threadCount_.store(0);
  task->running_.store(false);
  task->stateChanged_.notify_all();
  return nullptr;
}
