// The simulation source: reads a schedule file and feeds made-up events,
// messages, alarms and housekeeping records into the event supplier's
// queue at the pace the file prescribes.
#pragma once

#include <TMX.hh>
#include <ace/Task.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class Event_Supplier;

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
