// The notifier service's servant: consumers subscribe with a filter,
// suppliers push events, every matching consumer receives them in push
// order.
//
// Filter. A filter string is a list of terms separated by white space or
// commas; an event goes to a consumer when any term of its filter matches.
// An empty filter (or one of separators only) matches every event. Terms:
//   housekeeping | message | event | console | string | empty | unknown
//       the kind of value_, told by its TypeCode: TMX::HousekeepingData,
//       TMX::Message, TMX::Event, a nested Event_Comm::Event (a console
//       line), a string, an empty any, anything else;
//   IDL:...        the exact repository id of value_'s TypeCode (aliases
//                  resolved), e.g. "IDL:TMX/HousekeepingData:1.0";
//   tag:TEXT       tag_ equal to TEXT ("tag:" alone matches an empty tag).
// Any other term makes subscribe raise CannotSubscribe naming the term.
//
// Subscriptions. A consumer holds at most one subscription; consumers are
// compared with _is_equivalent. subscribe of a consumer already subscribed
// raises CannotSubscribe; unsubscribe of a consumer not subscribed raises
// CannotUnsubscribe. The filter argument of unsubscribe is not used. At most
// maxConsumers consumers are subscribed at a time; subscribe beyond that
// raises CannotSubscribe.
//
// Delivery. push() copies the event into the queue of every matching
// consumer and returns at once; each consumer has its own delivery thread
// that calls the consumer's push() two-way, one event at a time, in push
// order. A slow consumer therefore delays neither the supplier nor the
// other consumers. Each queue is bounded in events (queueLimit) and in bytes
// (queueBytes, counted as each event's CDR-encoded size): when a consumer
// falls that far behind, its oldest undelivered events are dropped to make
// room for each new one, and the drops are reported on the log stream. An
// event is queued even when it alone exceeds queueBytes, so a queue holds at
// most queueBytes plus one event, whose size the ORB's message size bounds. A
// consumer whose push raises any exception (including a time-out after
// pushTimeoutMs) is dropped: its subscription ends and its queued events
// are discarded, with a report.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Event_Comm.hh"
#include "wire/ValueKind.h"

namespace tmx::tools {

// A parsed subscription filter (see above).
class EventFilter
{
public:
  // Throws std::invalid_argument with a readable reason for a bad term.
  static EventFilter parse(const std::string &text);
  bool matches(const Event_Comm::Event &event) const;
  bool matchesAll() const { return kinds_.empty() && ids_.empty() && tags_.empty(); }
  const std::string &text() const { return text_; }

private:
  std::string text_;
  std::vector<wire::ValueKind> kinds_;
  std::vector<std::string> ids_;
  std::vector<std::string> tags_;
};

class Notifier_i : public POA_Event_Comm::Notifier
{
public:
  struct Options
  {
    // Undelivered events kept per consumer; 0 means no bound.
    std::size_t queueLimit = 10000;
    // Bytes of undelivered events kept per consumer (their encoded size);
    // 0 means no bound.
    std::size_t queueBytes = 4 * 1024 * 1024;
    // Consumers subscribed at a time, at most maxConsumersLimit (each has a
    // delivery thread).
    std::size_t maxConsumers = 1000;
    static constexpr std::size_t maxConsumersLimit = 100000;
    // Time-out of each push to a consumer, milliseconds; 0 keeps the ORB's.
    unsigned long pushTimeoutMs = 10000;
    // Time allowed at shutdown to deliver what is queued, milliseconds.
    unsigned long drainMs = 2000;
    // Reports (subscriptions, drops, failures); lines start with
    // "tmx-notifier: ".
    std::FILE *log = stderr;
  };

  Notifier_i();
  explicit Notifier_i(const Options &options);
  ~Notifier_i() override;

  void disconnect(const char *reason) override;
  void push(const Event_Comm::Event &event) override;
  void unsubscribe(Event_Comm::Consumer_ptr consumer, const char *filter) override;
  void subscribe(Event_Comm::Consumer_ptr consumer, const char *filter) override;

  // Ends the service: later subscribes are refused and pushes ignored;
  // what is queued is delivered within drainMs; then every remaining
  // consumer gets disconnect(reason) (bounded by a short time-out) unless
  // reason is null. Idempotent; the destructor calls it with a null reason.
  void shutdown(const char *reason);

  // Consumers currently subscribed.
  std::size_t consumerCount() const;

private:
  class Subscription;
  friend class Subscription;

  void report(const char *format, ...) __attribute__((format(printf, 2, 3)));
  // From a delivery thread whose push failed.
  void consumerFailed(Subscription *sub, const std::string &why);
  // Joins delivery threads that have ended. Caller holds mutex_.
  void reapRetired();

  Options options_;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Subscription>> active_;
  std::vector<std::shared_ptr<Subscription>> retired_;
  unsigned nextId_ = 1;
  bool shutDown_ = false;
  std::mutex logMutex_;
};

} // namespace tmx::tools
