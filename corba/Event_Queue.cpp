#include "corba/Event_Queue.h"

#include <algorithm>

constexpr std::size_t Event_Queue::default_limit;

Event_Queue::Event_Queue(std::size_t limit)
  : limit_(std::max<std::size_t>(limit, 1))
{
}

void Event_Queue::set_limit(std::size_t limit)
{
  limit_ = std::max<std::size_t>(limit, 1);
}

void Event_Queue::push(CORBA::Any &value, Kind kind)
{
  std::deque<Entry> &list = of_kind(kind);
  list.emplace_back();
  Entry &entry = list.back();
  entry.serial = next_serial_++;
  entry.kind = kind;
  entry.value.NP_swap(value);
  trim();
}

void Event_Queue::clear()
{
  lines_.clear();
  records_.clear();
}

bool Event_Queue::take(Entry &entry)
{
  if (empty())
    return false;
  const bool line_first =
    records_.empty() || (!lines_.empty() && lines_.front().serial < records_.front().serial);
  std::deque<Entry> &list = line_first ? lines_ : records_;
  entry.serial = list.front().serial;
  entry.kind = list.front().kind;
  entry.value.NP_swap(list.front().value);
  list.pop_front();
  return true;
}

void Event_Queue::put_back(Entry &entry)
{
  std::deque<Entry> &list = of_kind(entry.kind);
  list.emplace_front();
  list.front().serial = entry.serial;
  list.front().kind = entry.kind;
  list.front().value.NP_swap(entry.value);
  trim();
}

void Event_Queue::trim()
{
  while (size() > limit_) {
    if (!lines_.empty()) {
      lines_.pop_front();
      ++drops_.lines;
    } else {
      records_.pop_front();
      ++drops_.records;
    }
    in_episode_ = true;
  }
}

bool Event_Queue::episode_ended(Drops &drops)
{
  if (!in_episode_ || size() > limit_ / 2)
    return false;
  return end_episode(drops);
}

bool Event_Queue::end_episode(Drops &drops)
{
  if (!in_episode_)
    return false;
  drops = drops_;
  drops_ = Drops();
  in_episode_ = false;
  return true;
}
