// Recording stand-ins for the two ends of publication: an event sink (what
// the monitor's code hands to its supplier) and an Event_Comm::Consumer
// servant (what a notifier delivers). Both record under a lock and signal
// every arrival, so tests wait on them without polling.
#pragma once

#include "alarms/EventSink.h"
#include "tests/support/TestUtil.h"

#include <Event_Comm.hh>
#include <TMX.hh>

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace tmx::test {

// A published TMX::Message.
struct Published
{
  std::string text;
  int priority;
  std::uint64_t arrivalTime;
};

// Keeps a copy of every value sent; TMX::Message values are also decoded
// as they arrive. Copying an any needs an initialised ORB (a TestOrb or
// the OrbEnvironment).
class RecordingSink : public EventSink
{
public:
  void send_event(const CORBA::Any &value) override;

  // Every value.
  std::vector<CORBA::Any> values() const;
  bool waitCount(std::size_t n, milliseconds timeout = defaultTimeout);

  // Messages only; others() counts the values that are not messages.
  std::vector<Published> messages() const;
  std::size_t count() const;
  std::size_t others() const;
  // True once at least n messages arrived, false after ms milliseconds.
  bool waitFor(std::size_t n, int ms);

  // The housekeeping records sent since the last take().
  std::vector<TMX::HousekeepingData> take();

private:
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<CORBA::Any> values_;
  std::vector<Published> messages_;
  std::size_t taken_ = 0;
};

// One push as a RecordingConsumer saw it.
struct Pushed
{
  Event_Comm::Event event;
  std::chrono::steady_clock::time_point at; // when the push began
  std::time_t wall = 0;
};

// An in-process Event_Comm::Consumer that records every push and every
// disconnect. It can hold each push until released, at most a minute (a
// slow consumer), or fail every push (a broken one).
class RecordingConsumer : public POA_Event_Comm::Consumer
{
public:
  // Runs at the start of every push, outside the consumer's lock.
  std::function<void()> onPush;

  void push(const Event_Comm::Event &event) override;
  void disconnect(const char *reason) override;

  void hold() { gate_.hold(); }
  void release() { gate_.release(); }
  void failPushes();

  // Pushes received so far (fully, not held).
  std::vector<Pushed> pushed() const;
  std::vector<Event_Comm::Event> events() const;
  std::vector<std::string> tags() const;
  // The unsigned long held by each event's value, -1 for other values.
  std::vector<long long> numbers() const;
  std::vector<std::string> disconnects() const;

  // Waits until at least n pushes were received.
  bool waitTags(std::size_t n, milliseconds timeout = defaultTimeout);
  // Waits until n pushes have started (held ones included).
  bool waitEntered(std::size_t n, milliseconds timeout = defaultTimeout);
  bool waitDisconnect(milliseconds timeout = defaultTimeout);
  // Waits until pred(all pushes received so far) holds.
  template<class P>
  bool waitUntil(P pred, milliseconds timeout = defaultTimeout)
  {
    std::unique_lock<std::mutex> lock(mutex_);
    const std::vector<Pushed> &all = pushed_;
    return changed_.wait_for(lock, timeout, [&] { return pred(all); });
  }

private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Pushed> pushed_;
  std::vector<std::string> disconnects_;
  std::size_t entered_ = 0;
  bool fail_ = false;
  Gate gate_;
};

} // namespace tmx::test
