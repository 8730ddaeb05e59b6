// Helpers of the CORBA-side tests: argument vectors, values and an
// in-process Notifier servant that can fail or hold pushes; the shared
// recording sink and consumer, output capture and polling wait besides.
#pragma once

#include "tests/support/Recording.h"
#include "tests/support/TestUtil.h"

#include <Event_Comm.hh>
#include <omniORB4/CORBA.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace corba_test {

using namespace tmx::test;

inline std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string> &b)
{
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// State a servant's thread changes and a test waits on.
class Waitable
{
public:
  template<class Pred>
  bool waitFor(Pred pred, milliseconds timeout = milliseconds(10000))
  {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return pred(); });
  }

protected:
  void notify() { changed_.notify_all(); }
  mutable std::mutex mutex_;
  std::condition_variable changed_;
};

// The unsigned long held by an any, or -1.
inline long long ulongOf(const CORBA::Any &value)
{
  CORBA::ULong n;
  if (value >>= n)
    return n;
  return -1;
}

inline CORBA::Any anyOf(CORBA::ULong n)
{
  CORBA::Any value;
  value <<= n;
  return value;
}

// An in-process Event_Comm::Notifier that records pushed events and can be
// told to fail or to hold a push until released (at most a minute).
class TestNotifier
  : public POA_Event_Comm::Notifier
  , public Waitable
{
public:
  void push(const Event_Comm::Event &event) override
  {
    std::unique_lock<std::mutex> lock(mutex_);
    ++attempts_;
    notify();
    if (failures_ > 0 || alwaysFail_) {
      if (failures_ > 0)
        --failures_;
      throw CORBA::TRANSIENT(0, CORBA::COMPLETED_NO);
    }
    if (hold_) {
      ++held_;
      notify();
      changed_.wait_for(lock, std::chrono::minutes(1), [&] { return !hold_; });
    }
    events_.push_back(event);
    notify();
  }
  void disconnect(const char *) override {}
  void subscribe(Event_Comm::Consumer_ptr, const char *) override {}
  void unsubscribe(Event_Comm::Consumer_ptr, const char *) override {}

  void failNext(int n)
  {
    std::lock_guard<std::mutex> guard(mutex_);
    failures_ = n;
  }
  void failAlways(bool on)
  {
    std::lock_guard<std::mutex> guard(mutex_);
    alwaysFail_ = on;
  }
  void hold(bool on)
  {
    std::lock_guard<std::mutex> guard(mutex_);
    hold_ = on;
    notify();
  }
  bool waitHeld(int n, milliseconds timeout = milliseconds(10000))
  {
    return waitFor([&] { return held_ >= n; }, timeout);
  }
  bool waitCount(std::size_t n, milliseconds timeout = milliseconds(10000))
  {
    return waitFor([&] { return events_.size() >= n; }, timeout);
  }
  bool waitAttempts(int n, milliseconds timeout = milliseconds(10000))
  {
    return waitFor([&] { return attempts_ >= n; }, timeout);
  }
  std::vector<Event_Comm::Event> events() const
  {
    std::lock_guard<std::mutex> guard(mutex_);
    return events_;
  }
  std::vector<long long> numbers() const
  {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<long long> out;
    for (const auto &e : events_)
      out.push_back(ulongOf(e.value_));
    return out;
  }
  int attempts() const
  {
    std::lock_guard<std::mutex> guard(mutex_);
    return attempts_;
  }

private:
  std::vector<Event_Comm::Event> events_;
  int failures_ = 0;
  bool alwaysFail_ = false;
  bool hold_ = false;
  int held_ = 0;
  int attempts_ = 0;
};

} // namespace corba_test
