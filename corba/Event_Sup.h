// The event queue and the thread that pushes it to the notifier service,
// and the simulation source that feeds the queue from a schedule file.
#pragma once

#include "framework/MicroTask.h"

#include <Event_Comm.hh>
#include <TMX.hh>
#include <ace/Task.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class Event_Supplier;
class Notifier_Handler;

// One accepted line of the simulation file. The numeric fields are 64-bit
// so that offsets of any size the file can state are paced without
// wrapping.
struct Schedule_Entry
{
  std::string name;
  double value_a = 0;
  double value_b = 0;
  std::uint64_t param_a = 0;
  std::uint64_t param_b = 0;
  std::uint64_t time_us = 0; // offset from the start of a cycle
  std::uint64_t param_d = 0;
};

using Schedule = std::vector<Schedule_Entry>;

// Walks a schedule in a cycle: after the last entry comes the first.
struct Schedule_Iterator
{
  const Schedule *list = nullptr;
  std::size_t position = 0;
  const Schedule_Entry *current() const
  {
    return list && position < list->size() ? &(*list)[position] : nullptr;
  }
  void advance()
  {
    if (list && !list->empty())
      position = (position + 1) % list->size();
  }
};

class Event_Generator : public ACE_Task<ACE_MT_SYNCH>
{
public:
  // Receives the pacing delay in milliseconds (0 included).
  using Sleeper = std::function<void(std::uint64_t milliseconds)>;

  Event_Generator(ACE_Thread_Manager *thr_mgr, Event_Supplier *owner);
  ~Event_Generator() override;

  // Reads "-f file" and "-m count". 0 when all options were good, 1 after a
  // bad argument. Ends the process after the usage text: with status 0 for
  // "-?", with status 2 for any other option or a missing argument.
  int parse_args(int argc, char *argv[]);
  int svc() override;
  // Queues count values from the schedule file, paced by its offsets.
  void start_generating_events();
  // Appends the file's entries up to the first malformed line.
  void read_schedule(Schedule &list);
  // Fills value from the current entry, waits the pacing delay, advances.
  void insert_event_data(CORBA::Any &value, Schedule_Iterator &iterator);
  // Ends the generating loop after its current step; cuts a pacing wait
  // short.
  void stop();

  int enabled() const { return enabled_; }
  unsigned count() const { return count_; }
  const std::string &file_name() const { return file_name_; }

  // Replaces the pacing wait (tests); the default waits on the stop
  // request for the given time.
  void set_sleeper(Sleeper sleeper) { sleeper_ = std::move(sleeper); }

private:
  void pace(std::uint64_t milliseconds);

  int enabled_ = 0;
  unsigned count_ = 10;
  std::string file_name_;
  Event_Supplier *owner_;
  // Pacing reference: the offset of the previously replayed entry.
  std::uint64_t last_us_ = 0;
  TMX::Event event_;
  TMX::Message message_;
  TMX::HousekeepingData housekeeping_;
  Sleeper sleeper_;

  std::mutex stop_mutex_;
  std::condition_variable stop_changed_;
  bool stop_requested_ = false; // guarded by stop_mutex_
};

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
  // thread; never waits for the network.
  void queue_event(const CORBA::Any &value);
  // Clears running and wakes the thread (also out of a retry wait); does
  // not wait for it. Returns 0.
  int stop();
  // The push loop: values leave the queue in arrival order, each wrapped in
  // an Event_Comm::Event tagged "TMX". A failed push keeps the value at the
  // head; the thread looks the notifier up again and retries after a delay
  // that doubles from retry_delay_min up to retry_delay_max, until a push
  // succeeds or stop is called. Only a value that cannot be marshalled
  // (BAD_PARAM, MARSHAL, DATA_CONVERSION, BAD_TYPECODE) is dropped, with a
  // report.
  int svc() override;

  Event_Generator &generator() { return generator_; }

  static constexpr std::chrono::milliseconds retry_delay_min{ 500 };
  static constexpr std::chrono::milliseconds retry_delay_max{ 10000 };
  // Limit on one push, so that a stalled notifier service costs a retry
  // rather than a thread stuck for good.
  static constexpr unsigned push_timeout_ms = 10000;

  // Replaces the retry delays (tests); call before the thread starts.
  void set_retry_delays(std::chrono::milliseconds first, std::chrono::milliseconds limit)
  {
    retry_first_ = first;
    retry_limit_ = limit;
  }

  // Called by the push thread each time it has found the queue empty and
  // is about to wait (tests: a value queued there must not be left behind).
  void set_idle_hook(std::function<void()> hook) { idle_hook_ = std::move(hook); }

  // Diagnostics.
  std::size_t queue_length() const;
  std::vector<CORBA::Any> queued_values() const;
  std::uint64_t pushed_count() const { return pushed_.load(); }
  std::uint64_t failed_push_count() const { return failed_.load(); }
  std::uint64_t dropped_count() const { return dropped_.load(); }
  int running() const { return running_.load(); }

private:
  // Waits for stop or the delay; false when stopped.
  bool wait_unless_stopped(std::chrono::milliseconds delay);

  std::atomic<int> running_{ 0 };
  Notifier_Handler *notifier_handler_ = nullptr;
  mutable std::mutex queue_mutex_;
  std::deque<CORBA::Any> queue_; // guarded by queue_mutex_
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
