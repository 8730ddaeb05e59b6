// The event queue and the thread that pushes it to the notifier service.
#pragma once

#include "corba/Event_Generator.h"
#include "corba/Event_Queue.h"
#include "framework/MicroTask.h"

#include <Event_Comm.hh>
#include <TMX.hh>
#include <ace/Task.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class Notifier_Handler;

class Event_Supplier : public ACE_Task<ACE_MT_SYNCH>
{
public:
  explicit Event_Supplier(ACE_Thread_Manager *thr_mgr);
  // Stops the thread and waits for it, then discards what is still queued.
  ~Event_Supplier() override;

  // Parses the simulation options; 0, or -1 after a bad option or without
  // a notifier handler.
  virtual int init(int argc, char *argv[], Notifier_Handler *notifier_handler);
  // Appends a copy at the tail of the queue and wakes the thread. Any
  // thread; never waits for the network. The queue is bounded (see
  // Event_Queue): on overflow the oldest console lines go first, and each
  // overflow episode is reported once, when it ends, with what it dropped
  // (through reportError: logged, published and printed). Once stopped,
  // values are refused; the first refusal is reported (reportMessage).
  void queue_event(const CORBA::Any &value);
  // Clears running, closes the queue to new values (those queued stay until
  // the destructor), reports an open overflow episode, and wakes the thread
  // (also out of a retry wait); does not wait for it. Returns 0.
  int stop();
  // The push loop: values leave the queue in arrival order, each wrapped in
  // an Event_Comm::Event tagged "TMX". A failed push returns the value to
  // the head (where the overflow rule may drop it, as any other); the
  // thread looks the notifier up again and retries after a delay that
  // doubles from retry_delay_min up to retry_delay_max, until a push
  // succeeds or stop is called. Besides overflow, only a value that cannot
  // be marshalled (BAD_PARAM, MARSHAL, DATA_CONVERSION, BAD_TYPECODE) is
  // dropped, with a report.
  int svc() override;

  Event_Generator &generator() { return generator_; }

  static constexpr std::chrono::milliseconds retry_delay_min{ 500 };
  static constexpr std::chrono::milliseconds retry_delay_max{ 10000 };
  // Limit on one push, so that a stalled notifier service costs a retry
  // rather than a thread stuck for good.
  static constexpr unsigned push_timeout_ms = 10000;

  // Most values the queue holds (default_queue_limit unless set; at least
  // 1). Any time; a queue longer than a new limit is cut with the next
  // value.
  void set_queue_limit(std::size_t limit);
  std::size_t queue_limit() const;
  static constexpr std::size_t default_queue_limit = Event_Queue::default_limit;
  // A queue limit written as a positive decimal count (digits only); false,
  // leaving limit alone, for anything else.
  static bool parse_queue_limit(const char *text, std::size_t &limit);

  // Replaces the retry delays (tests); call before the thread starts.
  void set_retry_delays(std::chrono::milliseconds first, std::chrono::milliseconds limit)
  {
    retry_first_ = first;
    retry_limit_ = limit;
  }

  // Called by the push thread each time it has found the queue empty and
  // is about to wait (tests: a value queued there must not be left behind).
  void set_idle_hook(std::function<void()> hook) { idle_hook_ = std::move(hook); }

  // Diagnostics. queue_length and queued_values leave out the value being
  // pushed; dropped_count counts unsendable values (overflow drops are
  // reported instead).
  std::size_t queue_length() const;
  std::vector<CORBA::Any> queued_values() const;
  std::uint64_t pushed_count() const { return pushed_.load(); }
  std::uint64_t failed_push_count() const { return failed_.load(); }
  std::uint64_t dropped_count() const { return dropped_.load(); }
  int running() const { return running_.load(); }

private:
  enum class Push_Result
  {
    pushed,
    unsendable, // dropped: it would fail the same way every time
    failed      // kept for a retry
  };

  // The steps of the push loop. take moves the head out of the queue
  // into entry (false when the queue is empty) and reports an overflow
  // episode that ends as the queue drains; wait_for_value waits for a
  // value or stop (false when the signal is closed); push makes one
  // attempt with the entry's value and reports a failure; put_back
  // returns the entry after a failure; back_off waits out the retry delay
  // and doubles it (false when stopped); refresh_notifier looks the
  // notifier up again after a failure.
  bool take(Event_Queue::Entry &entry);
  bool wait_for_value();
  Push_Result push(Event_Comm::Notifier_ptr notifier, Event_Comm::Event &event, Event_Queue::Entry &entry);
  Push_Result push_once(Event_Comm::Notifier_ptr notifier, const Event_Comm::Event &event);
  static bool is_unsendable(const CORBA::SystemException &ex);
  void put_back(Event_Queue::Entry &entry);
  bool back_off(std::chrono::milliseconds &delay);
  void refresh_notifier(Event_Comm::Notifier_var &notifier);
  // Waits for stop or the delay; false when stopped.
  bool wait_unless_stopped(std::chrono::milliseconds delay);

  std::atomic<int> running_{ 0 };
  Notifier_Handler *notifier_handler_ = nullptr;
  mutable std::mutex queue_mutex_;
  Event_Queue queue_;             // guarded by queue_mutex_
  bool closed_ = false;           // guarded by queue_mutex_; set by stop
  bool refusal_reported_ = false; // guarded by queue_mutex_
  Event_Generator generator_;
  // Wakes the push loop. Given when a value lands in an empty queue and on
  // stop; the loop re-tests the queue under its lock before every wait, so
  // a give merged into a pending one loses nothing.
  std::unique_ptr<Semaphore> queue_signal_;

  std::mutex stop_mutex_;
  std::condition_variable stop_changed_;

  std::function<void()> idle_hook_;
  std::chrono::milliseconds retry_first_ = retry_delay_min;
  std::chrono::milliseconds retry_limit_ = retry_delay_max;
  std::atomic<std::uint64_t> pushed_{ 0 };
  std::atomic<std::uint64_t> failed_{ 0 };
  std::atomic<std::uint64_t> dropped_{ 0 };
};
