#include "notifier/Notifier_i.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <stdexcept>

#include "orb/Orb.h"
#include "tools/common/ToolSupport.h"
#include "wire/Quoting.h"

namespace tmx::tools {

using tmx::orb::describe;

namespace {

using Clock = std::chrono::steady_clock;

// What an event takes in a queue: its CDR-encoded size.
std::size_t encodedSize(const Event_Comm::Event &event)
{
  cdrMemoryStream stream;
  event >>= stream;
  return stream.bufSize();
}

} // namespace

// ------------------------------------------------------------ EventFilter

EventFilter EventFilter::parse(const std::string &text)
{
  EventFilter f;
  f.text_ = text;
  std::size_t i = 0;
  while (i < text.size()) {
    auto isSep = [](char c) { return c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (i < text.size() && isSep(text[i]))
      ++i;
    std::size_t start = i;
    while (i < text.size() && !isSep(text[i]))
      ++i;
    if (start == i)
      break;
    std::string term = text.substr(start, i - start);
    if (term.compare(0, 4, "tag:") == 0) {
      f.tags_.push_back(term.substr(4));
    } else if (term.compare(0, 4, "IDL:") == 0) {
      f.ids_.push_back(term);
    } else if (const auto kind = wire::kindNamed(term)) {
      f.kinds_.push_back(*kind);
    } else {
      throw std::invalid_argument(
        "unknown filter term \"" + term +
        "\" (expected housekeeping, message, event, console, string, empty, unknown, "
        "a repository id IDL:..., or tag:TEXT)");
    }
  }
  return f;
}

bool EventFilter::matches(const Event_Comm::Event &event) const
{
  if (matchesAll())
    return true;
  if (!tags_.empty()) {
    const char *tag = event.tag_.in() ? event.tag_.in() : "";
    for (const auto &t : tags_)
      if (t == tag)
        return true;
  }
  if (kinds_.empty() && ids_.empty())
    return false;
  const wire::ValueType vt = wire::typeOf(event.value_);
  for (const auto k : kinds_)
    if (k == vt.kind)
      return true;
  for (const auto &id : ids_)
    if (id == vt.id)
      return true;
  return false;
}

// ----------------------------------------------------------- Subscription

// One consumer: its reference, filter, queue and delivery thread.
class Notifier_i::Subscription
{
public:
  Subscription(Notifier_i &owner, unsigned id, Event_Comm::Consumer_ptr consumer, EventFilter filter)
    : owner_(owner)
    , id_(id)
    , consumer_(Event_Comm::Consumer::_duplicate(consumer))
    , filter_(std::move(filter))
  {
    if (owner_.options_.pushTimeoutMs)
      omniORB::setClientCallTimeout(consumer_.in(), owner_.options_.pushTimeoutMs);
    thread_ = std::thread([this] { deliver(); });
  }

  ~Subscription()
  {
    stop(false);
    join();
  }

  unsigned id() const { return id_; }
  Event_Comm::Consumer_ptr consumer() const { return consumer_.in(); }
  const EventFilter &filter() const { return filter_; }

  // Called under the owner's lock, so the order of enqueue calls is the
  // order of pushes. size is the event's encoded size.
  void enqueue(const Event_Comm::Event &event, std::size_t size)
  {
    auto copy = std::make_unique<Event_Comm::Event>(event);
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_)
      return;
    const std::size_t limit = owner_.options_.queueLimit, byteLimit = owner_.options_.queueBytes;
    auto full = [&] {
      return !queue_.empty() &&
             ((limit && queue_.size() >= limit) || (byteLimit && queuedBytes_ + size > byteLimit));
    };
    if (full() && dropped_ == 0)
      owner_.report(
        "consumer #%u is too slow: its queue is full (%zu events, %zu bytes), dropping the oldest",
        id_,
        queue_.size(),
        queuedBytes_);
    while (full()) {
      queuedBytes_ -= queue_.front().size;
      queue_.pop_front();
      ++dropped_;
    }
    queue_.push_back({ std::move(copy), size });
    queuedBytes_ += size;
    changed_.notify_one();
  }

  // Ends delivery: at once (drain false, queued events discarded) or once
  // the queue is empty or the drain deadline has passed.
  void stop(bool drain, Clock::time_point deadline = Clock::time_point())
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!drain)
      clearQueue();
    stopping_ = true;
    drainDeadline_ = deadline;
    changed_.notify_one();
  }

  bool finished() const { return finished_.load(); }

  void join()
  {
    if (thread_.joinable())
      thread_.join();
  }

  std::size_t discardQueue()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = queue_.size();
    clearQueue();
    return n;
  }

private:
  struct Queued
  {
    std::unique_ptr<Event_Comm::Event> event;
    std::size_t size;
  };

  // Caller holds mutex_.
  void clearQueue()
  {
    queue_.clear();
    queuedBytes_ = 0;
  }

  void deliver()
  {
    for (;;) {
      std::unique_ptr<Event_Comm::Event> event;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        if (queue_.empty() && dropped_ > 0) {
          owner_.report("consumer #%u caught up; %lu events were dropped while its queue was full",
                        id_,
                        static_cast<unsigned long>(dropped_));
          dropped_ = 0;
        }
        changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (queue_.empty() || (stopping_ && Clock::now() >= drainDeadline_))
          break;
        event = std::move(queue_.front().event);
        queuedBytes_ -= queue_.front().size;
        queue_.pop_front();
      }
      try {
        consumer_->push(*event);
      } catch (const CORBA::Exception &e) {
        owner_.consumerFailed(this, describe(e));
        break;
      } catch (const std::exception &e) {
        owner_.consumerFailed(this, e.what());
        break;
      }
    }
    finished_ = true;
  }

  Notifier_i &owner_;
  const unsigned id_;
  Event_Comm::Consumer_var consumer_;
  const EventFilter filter_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Queued> queue_;
  std::size_t queuedBytes_ = 0;
  bool stopping_ = false;
  Clock::time_point drainDeadline_;
  unsigned long dropped_ = 0;
  std::atomic<bool> finished_{ false };
  std::thread thread_;
};

// ------------------------------------------------------------- Notifier_i

Notifier_i::Notifier_i()
  : Notifier_i(Options{})
{
}

Notifier_i::Notifier_i(const Options &options)
  : options_(options)
{
}

Notifier_i::~Notifier_i()
{
  shutdown(nullptr);
}

void Notifier_i::report(const char *format, ...)
{
  if (!options_.log)
    return;
  std::lock_guard<std::mutex> lock(logMutex_);
  std::fputs("tmx-notifier: ", options_.log);
  va_list args;
  va_start(args, format);
  std::vfprintf(options_.log, format, args);
  va_end(args);
  std::fputc('\n', options_.log);
  std::fflush(options_.log);
}

void Notifier_i::disconnect(const char *reason)
{
  report("a supplier disconnected: %s", wire::escaped(reason).c_str());
}

void Notifier_i::push(const Event_Comm::Event &event)
{
  std::size_t size = encodedSize(event);
  std::lock_guard<std::mutex> lock(mutex_);
  if (shutDown_)
    return;
  for (const auto &sub : active_)
    if (sub->filter().matches(event))
      sub->enqueue(event, size);
}

void Notifier_i::subscribe(Event_Comm::Consumer_ptr consumer, const char *filter)
{
  if (CORBA::is_nil(consumer))
    throw Event_Comm::Notifier::CannotSubscribe("nil consumer reference");
  EventFilter parsed;
  try {
    parsed = EventFilter::parse(filter ? filter : "");
  } catch (const std::invalid_argument &e) {
    throw Event_Comm::Notifier::CannotSubscribe(e.what());
  }
  std::lock_guard<std::mutex> lock(mutex_);
  reapRetired();
  if (shutDown_)
    throw Event_Comm::Notifier::CannotSubscribe("the notifier is shutting down");
  for (const auto &sub : active_)
    if (sub->consumer()->_is_equivalent(consumer))
      throw Event_Comm::Notifier::CannotSubscribe("consumer already subscribed");
  if (active_.size() >= options_.maxConsumers)
    throw Event_Comm::Notifier::CannotSubscribe(
      ("too many consumers: " + std::to_string(options_.maxConsumers) + " are subscribed").c_str());
  unsigned id = nextId_++;
  active_.push_back(std::make_shared<Subscription>(*this, id, consumer, std::move(parsed)));
  report("consumer #%u subscribed with filter %s", id, wire::quoted(filter).c_str());
}

void Notifier_i::unsubscribe(Event_Comm::Consumer_ptr consumer, const char *)
{
  if (CORBA::is_nil(consumer))
    throw Event_Comm::Notifier::CannotUnsubscribe("nil consumer reference");
  std::lock_guard<std::mutex> lock(mutex_);
  reapRetired();
  for (auto it = active_.begin(); it != active_.end(); ++it) {
    if ((*it)->consumer()->_is_equivalent(consumer)) {
      // The delivery thread may be inside a push to this very consumer
      // (which may be calling us from its push): never wait for it here.
      (*it)->stop(false);
      report("consumer #%u unsubscribed", (*it)->id());
      retired_.push_back(*it);
      active_.erase(it);
      return;
    }
  }
  throw Event_Comm::Notifier::CannotUnsubscribe("consumer not subscribed");
}

void Notifier_i::consumerFailed(Subscription *sub, const std::string &why)
{
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find_if(active_.begin(), active_.end(), [&](const auto &s) { return s.get() == sub; });
  if (it == active_.end())
    return; // already unsubscribed or shutting down
  std::size_t discarded = sub->discardQueue();
  report("push to consumer #%u failed: %s; consumer dropped, %zu queued events discarded",
         sub->id(),
         why.c_str(),
         discarded);
  retired_.push_back(*it);
  active_.erase(it);
}

void Notifier_i::reapRetired()
{
  auto done = std::partition(retired_.begin(), retired_.end(), [](const auto &s) { return !s->finished(); });
  for (auto it = done; it != retired_.end(); ++it)
    (*it)->join();
  retired_.erase(done, retired_.end());
}

void Notifier_i::shutdown(const char *reason)
{
  std::vector<std::shared_ptr<Subscription>> remaining, retired;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (shutDown_)
      return;
    shutDown_ = true;
    remaining.swap(active_);
    retired.swap(retired_);
  }
  auto deadline = Clock::now() + std::chrono::milliseconds(options_.drainMs);
  for (const auto &sub : remaining)
    sub->stop(true, deadline);
  for (const auto &sub : remaining)
    sub->join();
  for (const auto &sub : retired)
    sub->join();
  if (reason) {
    for (const auto &sub : remaining) {
      try {
        omniORB::setClientCallTimeout(sub->consumer(), 1000);
        sub->consumer()->disconnect(reason);
      } catch (const CORBA::Exception &e) {
        report("disconnect of consumer #%u failed: %s", sub->id(), describe(e).c_str());
      }
    }
  }
  for (const auto &sub : remaining) {
    std::size_t left = sub->discardQueue();
    if (left)
      report("consumer #%u: %zu undelivered events discarded at shutdown", sub->id(), left);
  }
}

std::size_t Notifier_i::consumerCount() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return active_.size();
}

} // namespace tmx::tools
