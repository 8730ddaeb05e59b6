#include "framework/MicroEventHandler.h"

MicroEventHandler::MicroEventHandler(const char *name, TaskSynchronizer *taskSync)
  : name_(name != nullptr ? name : "")
  , taskSync_(taskSync)
{
  errors_.clear();
  trace(3, 4, "MicroEventHandler::MicroEventHandler()\n");
  if (taskSync == nullptr)
    throw NullArg(2);
  addEvent(&shutdownTrigger_, nullptr);
}

MicroEventHandler::~MicroEventHandler()
{
  // A task destroyed while it runs is stopped first, so its thread never
  // outlives the members it uses.
  if (!hasEnded())
    stop(10);
  joinThread();
  watching_.close();
}

int MicroEventHandler::addEvent(EventTrigger *trigger, Callback *callback)
{
  if (trigger == nullptr)
    return -1;
  registry_.push_back(Registration{ trigger, callback });
  if (callback != nullptr)
    hasCallbacks_ = 1;
  return 0;
}

int MicroEventHandler::run()
{
  trace(2, 4, "MicroEventHandler::run()\n");
  while (!taskSync_->shutdownRequested()) {
    taskSync_->resetReceived(2);
    trace(2, 4, "MicroEventHandler::run() - semTake() task semaphore\n");
    taskSync_->waitForTask(2, WAIT_FOREVER);
    trace(2, 4, "MicroEventHandler::run() - got task semaphore\n");
    // Triggers raised before the start signal are dropped here, before the
    // periodic task is released: whatever its first pass raises is seen.
    clearTriggers();
    watching_.give();
    trace(2, 4, "MicroEventHandler::run() - wakeup MicroPeriodic task\n");
    taskSync_->signalTask(1);
    detectionLoop();
  }
  taskSync_->shutdownReceived(2);
  return 0;
}

void MicroEventHandler::detectionLoop()
{
  trace(2, 4, "MicroEventHandler::run()\n");
  while (!taskSync_->shutdownRequested()) {
    trace(3, 4, "MicroEventHandler::run() - runningEventHandler event detection loop()\n");
    if (registry_.empty())
      continue;
    trace(3, 4, "MicroEventHandler::run() - waiting for event detection\n");
    if (EventTrigger::waitForEvent(WAIT_FOREVER) == -1)
      continue;
    std::lock_guard<Mutex> guard(taskSync_->lock());
    seen_.resize(registry_.size());
    for (std::size_t i = 0; i < registry_.size(); ++i)
      seen_[i] = registry_[i].trigger->sequence();
    trace(3, 4, "MicroEventHandler::run() - processEvents()\n");
    processEvents();
    if (hasCallbacks_)
      invokeCallbacks();
    clearSeenTriggers();
  }
}

int MicroEventHandler::processEvents()
{
  return 0;
}

int MicroEventHandler::invokeCallbacks()
{
  trace(3, 4, "MicroEventHandler::invokeCallbacks()\n");
  for (const Registration &r : registry_) {
    if (r.callback != nullptr && r.trigger->isTriggered())
      r.callback->invoke();
  }
  return 0;
}

void MicroEventHandler::clearTriggers()
{
  for (const Registration &r : registry_)
    r.trigger->clear();
}

void MicroEventHandler::clearSeenTriggers()
{
  // Drop the stale wake-up first; a trigger raised after this gives its own.
  EventTrigger::waitForEvent(NO_WAIT);
  bool pending = false;
  for (std::size_t i = 0; i < registry_.size(); ++i) {
    if (!registry_[i].trigger->clearIfUnchanged(seen_[i]))
      pending = true;
  }
  if (pending)
    EventTrigger::wakeupSemaphore().give();
}

int MicroEventHandler::stop(int seconds)
{
  return taskSync_->stopTask(2, *this, seconds, [this] { shutdownTrigger_.trigger(); });
}

int MicroEventHandler::waitUntilWatching(int ms)
{
  return watching_.take(ms);
}
