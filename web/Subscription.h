// Keeps tmx-web subscribed to the notifier, so that it never goes silently
// stale. States:
//   starting      before the first subscription succeeded;
//   subscribed    subscribed, and records arrive (or have not yet been
//                 missed for staleAfter);
//   reconnecting  the notifier disconnected us, a liveness check or a
//                 subscribe failed, or no record came for staleAfter: the
//                 subscription is being made again, with back-off.
// The loss of a subscription is reported once per outage (and its end once
// more, when records flow again). The logic runs in step(), driven by the
// owner's thread (run()) or by a test with a fake clock; the remote side is
// behind Connector.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "web/Clock.h"

namespace tmx::web {

enum class LinkState
{
  starting,
  subscribed,
  reconnecting
};
const char *linkStateName(LinkState s);

// The remote side. Calls come only from step(), one at a time; each is
// bounded by the ORB's call time-out. On failure they return false with
// the reason in why.
class Connector
{
public:
  virtual ~Connector() = default;
  // Resolves the notifier and subscribes (ending an earlier subscription
  // of ours first, best effort).
  virtual bool subscribe(std::string &why) = 0;
  // True while the notifier we subscribed to still exists.
  virtual bool alive(std::string &why) = 0;
  // Ends the subscription, best effort (at shutdown).
  virtual void unsubscribe() = 0;
};

// A snapshot for the interfaces (/api/current, SSE, /metrics).
struct LinkStatus
{
  LinkState state = LinkState::starting;
  std::chrono::system_clock::time_point since;
  std::optional<std::chrono::system_clock::time_point> lastRecord;
  bool stale = true; // not subscribed, or no record for staleAfter
};

class Subscription
{
public:
  struct Options
  {
    // Three housekeeping periods.
    std::chrono::milliseconds staleAfter{ 15000 };
    // Liveness check of the notifier while subscribed.
    std::chrono::milliseconds checkEvery{ 5000 };
    std::chrono::milliseconds backoffFirst{ 500 };
    std::chrono::milliseconds backoffMax{ 5000 };
  };
  using Report = std::function<void(const std::string &)>;
  // Called (from step(), without the lock) whenever the state changes.
  using Changed = std::function<void(const LinkStatus &)>;

  Subscription(Connector &connector, const Clock &clock, Report report, Options options);
  Subscription(Connector &connector, const Clock &clock, Report report)
    : Subscription(connector, clock, std::move(report), Options())
  {
  }
  ~Subscription();
  Subscription(const Subscription &) = delete;
  Subscription &operator=(const Subscription &) = delete;

  void onChange(Changed changed) { changed_ = std::move(changed); }

  // From the consumer's push (any thread; cheap).
  void recordArrived();
  // From the consumer's disconnect (any thread).
  void disconnected(const std::string &reason);

  // Does what is due now; returns the time until the next step is due.
  std::chrono::milliseconds step();

  LinkStatus status() const;

  // Runs step() on a thread of its own until stop(); stop() then
  // unsubscribes when subscribed.
  void start();
  void stop();

private:
  // Caller holds mutex_.
  void enter(LinkState s, std::chrono::steady_clock::time_point now);
  LinkStatus statusLocked(std::chrono::steady_clock::time_point now) const;
  void notify();
  void loop();

  Connector &connector_;
  const Clock &clock_;
  Report report_;
  Changed changed_;
  const Options options_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  LinkState state_ = LinkState::starting;
  std::chrono::system_clock::time_point sinceWall_;
  // Last record, both clocks; the steady one only counts while subscribed
  // (from the subscription when no record came since).
  std::optional<std::chrono::system_clock::time_point> lastRecordWall_;
  std::chrono::steady_clock::time_point lastActivity_;
  std::chrono::steady_clock::time_point nextAttempt_;
  std::chrono::steady_clock::time_point nextCheck_;
  std::chrono::milliseconds backoff_;
  std::optional<std::string> disconnectReason_;
  bool outageReported_ = false;
  bool recordSinceSubscribe_ = false;
  bool stopping_ = false;
  bool kicked_ = false;
  std::thread thread_;
};

} // namespace tmx::web
