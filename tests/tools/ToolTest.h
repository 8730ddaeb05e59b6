// Consumers and values for the tests of the notifier, watch and status
// programs.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "Event_Comm.hh"
#include "TMX.hh"
#include "tests/support/TestSupport.h"

namespace tmx::test {

// Records the tag_ of every pushed event. Optionally holds each push until
// released (a slow consumer) or fails every push (a broken consumer).
class RecordingConsumer : public POA_Event_Comm::Consumer
{
public:
  // Runs at the start of every push, outside the consumer's lock.
  std::function<void()> onPush;

  void push(const Event_Comm::Event &event) override
  {
    if (onPush)
      onPush();
    std::unique_lock<std::mutex> lock(mutex_);
    ++entered_;
    changed_.notify_all();
    if (fail_)
      throw CORBA::BAD_OPERATION(0, CORBA::COMPLETED_YES);
    changed_.wait(lock, [&] { return !held_; });
    tags_.push_back(event.tag_.in());
    changed_.notify_all();
  }

  void disconnect(const char *reason) override
  {
    std::lock_guard<std::mutex> lock(mutex_);
    disconnects_.push_back(reason);
    changed_.notify_all();
  }

  void hold()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = true;
  }
  void release()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = false;
    changed_.notify_all();
  }
  void failPushes()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fail_ = true;
  }

  // Pushes received so far (fully, not held).
  std::vector<std::string> tags()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return tags_;
  }
  std::vector<std::string> disconnects()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return disconnects_;
  }
  bool waitTags(std::size_t n, milliseconds timeout = defaultTimeout)
  {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return tags_.size() >= n; });
  }
  // Waits until n pushes have started (held ones included).
  bool waitEntered(std::size_t n, milliseconds timeout = defaultTimeout)
  {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return entered_ >= n; });
  }
  bool waitDisconnect(milliseconds timeout = defaultTimeout)
  {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return !disconnects_.empty(); });
  }

private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> tags_;
  std::vector<std::string> disconnects_;
  std::size_t entered_ = 0;
  bool held_ = false;
  bool fail_ = false;
};

inline Event_Comm::Event makeEvent(const std::string &tag, const CORBA::Any &value = CORBA::Any())
{
  Event_Comm::Event e;
  e.tag_ = tag.c_str();
  e.value_ = value;
  e.object_ref_ = CORBA::Object::_nil();
  return e;
}

inline CORBA::Any housekeepingValue(HousingID id, double temp, double rh, bool water, unsigned long long t)
{
  TMX::HousekeepingData hk;
  hk.id = id;
  hk.temp = temp;
  hk.rh = rh;
  hk.wateralarm = water;
  hk.readingTime = t;
  CORBA::Any a;
  a <<= hk;
  return a;
}

inline CORBA::Any messageValue(const char *text, MessagePriority p, unsigned long long t)
{
  TMX::Message m;
  m.text = text;
  m.priority = p;
  m.arrival_time = t;
  CORBA::Any a;
  a <<= m;
  return a;
}

inline CORBA::Any eventValue(short id, const char *name, unsigned long long t)
{
  TMX::Event e;
  e.id = id;
  e.name = name;
  e.arrival_time = t;
  CORBA::Any a;
  a <<= e;
  return a;
}

inline CORBA::Any consoleValue(const char *line)
{
  CORBA::Any a;
  a <<= makeEvent(line);
  return a;
}

inline CORBA::Any stringValue(const char *s)
{
  CORBA::Any a;
  a <<= s;
  return a;
}

// A naming service, a running tmx-notifier and this process's ORB with a
// reference to the notifier.
struct NotifierSetup
{
  explicit NotifierSetup(const std::vector<std::string> &notifierArgs = {})
  {
    env.startNotifier(notifierArgs);
    CORBA::Object_var obj = orb.resolve("Notifier");
    notifier = Event_Comm::Notifier::_narrow(obj);
  }

  Event_Comm::Consumer_ptr activate(RecordingConsumer &c)
  {
    CORBA::Object_var obj = orb.activate(&c);
    return Event_Comm::Consumer::_narrow(obj);
  }

  CorbaEnv env;
  TestOrb orb{ env.orbArgs() };
  Event_Comm::Notifier_var notifier;
};

} // namespace tmx::test
