#include "web/Subscription.h"

#include <algorithm>

#include "tools/common/Worker.h"

namespace tmx::web {

using std::chrono::duration_cast;
using std::chrono::milliseconds;
using SteadyTime = std::chrono::steady_clock::time_point;

const char *linkStateName(LinkState s)
{
  switch (s) {
    case LinkState::starting:
      return "starting";
    case LinkState::subscribed:
      return "subscribed";
    case LinkState::reconnecting:
      return "reconnecting";
  }
  return "starting";
}

namespace {

milliseconds until(SteadyTime now, SteadyTime then)
{
  if (then <= now)
    return milliseconds(0);
  // Rounded up, so that a step is never due a fraction too early.
  return duration_cast<milliseconds>(then - now) + milliseconds(1);
}

} // namespace

Subscription::Subscription(Connector &connector, const Clock &clock, Report report, Options options)
  : connector_(connector)
  , clock_(clock)
  , report_(std::move(report))
  , options_(options)
  , sinceWall_(clock.wall())
  , lastActivity_(clock.steady())
  , nextAttempt_(clock.steady())
  , nextCheck_(clock.steady())
  , backoff_(options.backoffFirst)
{
}

Subscription::~Subscription()
{
  stop();
}

void Subscription::enter(LinkState s, SteadyTime now)
{
  state_ = s;
  sinceWall_ = clock_.wall();
  if (s == LinkState::subscribed) {
    lastActivity_ = now;
    nextCheck_ = now + options_.checkEvery;
    backoff_ = options_.backoffFirst;
    recordSinceSubscribe_ = false;
  } else {
    // The first attempt at once, the next ones with back-off.
    nextAttempt_ = now;
    backoff_ = options_.backoffFirst;
  }
}

LinkStatus Subscription::statusLocked(SteadyTime now) const
{
  LinkStatus s;
  s.state = state_;
  s.since = sinceWall_;
  s.lastRecord = lastRecordWall_;
  s.stale = state_ != LinkState::subscribed || now - lastActivity_ >= options_.staleAfter;
  return s;
}

LinkStatus Subscription::status() const
{
  const SteadyTime now = clock_.steady();
  std::lock_guard<std::mutex> lock(mutex_);
  return statusLocked(now);
}

void Subscription::notify()
{
  if (changed_)
    changed_(status());
}

void Subscription::recordArrived()
{
  const SteadyTime now = clock_.steady();
  const auto wall = clock_.wall();
  bool again = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lastActivity_ = now;
    lastRecordWall_ = wall;
    if (state_ == LinkState::subscribed && !recordSinceSubscribe_) {
      recordSinceSubscribe_ = true;
      again = outageReported_;
      outageReported_ = false;
    }
  }
  if (again)
    report_("receiving records from the notifier again");
}

void Subscription::disconnected(const std::string &reason)
{
  std::lock_guard<std::mutex> lock(mutex_);
  disconnectReason_ = reason;
  kicked_ = true;
  wake_.notify_all();
}

milliseconds Subscription::step()
{
  SteadyTime now = clock_.steady();
  std::unique_lock<std::mutex> lock(mutex_);
  if (state_ != LinkState::subscribed) {
    if (now < nextAttempt_)
      return until(now, nextAttempt_);
    lock.unlock();
    std::string why;
    const bool ok = connector_.subscribe(why);
    now = clock_.steady();
    lock.lock();
    std::string said;
    if (ok) {
      const bool first = state_ == LinkState::starting;
      // A disconnect that came before this subscription was made ends an
      // earlier one.
      disconnectReason_.reset();
      enter(LinkState::subscribed, now);
      if (first)
        said = "subscribed to the notifier";
    } else {
      if (!outageReported_) {
        outageReported_ = true;
        said = "cannot subscribe to the notifier (" + why + "); trying again until it can";
      }
      nextAttempt_ = now + backoff_;
      backoff_ = std::min(backoff_ * 2, options_.backoffMax);
    }
    const milliseconds next =
      ok ? until(now, std::min(nextCheck_, lastActivity_ + options_.staleAfter)) : until(now, nextAttempt_);
    lock.unlock();
    if (!said.empty())
      report_(said);
    if (ok)
      notify();
    return next;
  }

  std::string lost;
  if (disconnectReason_) {
    lost = "disconnected by the notifier: " + *disconnectReason_;
    disconnectReason_.reset();
  } else if (now - lastActivity_ >= options_.staleAfter) {
    lost = "no record for " + std::to_string(options_.staleAfter.count() / 1000) + " s";
  } else if (now >= nextCheck_) {
    lock.unlock();
    std::string why;
    const bool alive = connector_.alive(why);
    now = clock_.steady();
    lock.lock();
    if (state_ == LinkState::subscribed && disconnectReason_)
      lost = "disconnected by the notifier: " + *disconnectReason_;
    else if (!alive)
      lost = "the notifier does not answer (" + why + ")";
    else
      nextCheck_ = now + options_.checkEvery;
    disconnectReason_.reset();
  }
  if (lost.empty())
    return until(now, std::min(nextCheck_, lastActivity_ + options_.staleAfter));

  enter(LinkState::reconnecting, now);
  const bool say = !outageReported_;
  outageReported_ = true;
  lock.unlock();
  if (say)
    report_(lost + "; subscribing again");
  notify();
  return milliseconds(0);
}

void Subscription::start()
{
  tools::startWorker(mutex_, thread_, [this] { loop(); });
}

void Subscription::loop()
{
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    lock.unlock();
    const milliseconds wait = step();
    lock.lock();
    wake_.wait_for(lock, wait, [this] { return stopping_ || kicked_; });
    kicked_ = false;
  }
}

void Subscription::stop()
{
  if (!tools::stopWorker(mutex_, wake_, stopping_, thread_))
    return;
  if (status().state == LinkState::subscribed)
    connector_.unsubscribe();
}

} // namespace tmx::web
