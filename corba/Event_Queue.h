// The event supplier's queue: values waiting to be pushed, oldest first,
// at most limit() of them. A full queue makes room by dropping its oldest
// line (console lines, the simulation's test values); a record (a
// housekeeping record, or a message such as an alarm) goes only when the
// queue holds nothing but records. What a flood costs is lines, never the
// housekeeping data.
#pragma once

#include <omniORB4/CORBA.h>

#include <cstddef>
#include <cstdint>
#include <deque>

// Not locked: its owner guards it.
class Event_Queue
{
public:
  enum class Kind
  {
    line,
    record
  };

  // One queued value. Values move in and out by swapping, never by
  // copying: copying an any marshals it again.
  struct Entry
  {
    std::uint64_t serial = 0; // arrival order across both kinds
    Kind kind = Kind::line;
    CORBA::Any value;
  };

  // What one overflow episode dropped.
  struct Drops
  {
    std::uint64_t lines = 0;
    std::uint64_t records = 0;
  };

  static constexpr std::size_t default_limit = 10000;

  explicit Event_Queue(std::size_t limit = default_limit);

  // At least 1 (0 is taken as 1). A queue longer than the new limit is cut
  // down with the next value queued.
  void set_limit(std::size_t limit);
  std::size_t limit() const { return limit_; }
  std::size_t size() const { return lines_.size() + records_.size(); }
  bool empty() const { return lines_.empty() && records_.empty(); }

  // Appends the value (value is left empty), dropping as above when the
  // queue is then over its limit.
  void push(CORBA::Any &value, Kind kind);
  // Discards every value (an open episode stays open).
  void clear();
  // Moves the oldest value out into entry; false when the queue is empty.
  bool take(Entry &entry);
  // Returns a taken entry (whose push failed) to the head, ahead of all
  // that came after it, dropping as push does when the queue is then over
  // its limit (the returned value may itself be the oldest line).
  void put_back(Entry &entry);

  // An overflow episode begins with the first value dropped and lasts
  // until the queue has drained to half its limit, so that a flood that
  // keeps the queue full makes one report, not one per value.
  // episode_ended: true, with what the episode dropped, when an episode
  // was open and the queue has drained far enough; the episode is then
  // over. end_episode: the same whatever the length (the queue closes).
  bool episode_ended(Drops &drops);
  bool end_episode(Drops &drops);
  bool in_episode() const { return in_episode_; }

  // Calls f(const Entry &) for each queued value, oldest first.
  template<class F>
  void for_each(F f) const
  {
    auto line = lines_.begin();
    auto record = records_.begin();
    while (line != lines_.end() || record != records_.end()) {
      if (record == records_.end() || (line != lines_.end() && line->serial < record->serial))
        f(*line++);
      else
        f(*record++);
    }
  }

private:
  std::deque<Entry> &of_kind(Kind kind) { return kind == Kind::line ? lines_ : records_; }
  void trim();

  // Each kind in arrival order; the serials interleave them.
  std::deque<Entry> lines_;
  std::deque<Entry> records_;
  std::size_t limit_;
  std::uint64_t next_serial_ = 0;
  bool in_episode_ = false;
  Drops drops_;
};
