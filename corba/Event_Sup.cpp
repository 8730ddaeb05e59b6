#include "corba/Event_Sup.h"

#include "corba/Notifier_Handler.h"
#include "corba/ORB_Manager.h"
#include "corba/print_exception.h"

#include "alarms/Alarm.h"

#include <ace/Log_Msg.h>
#include <omniORB4/omniORB.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {
// A copy of value that the queue can keep. Once the ORB is initialised a
// plain copy, which marshals the value and so rejects one that can never
// be sent (a bounded string too long, say) here, on the producer's thread,
// instead of at the head of the queue. Before that, only the records this
// system publishes can be copied (member by member); false for anything
// else.
bool copy_value(const CORBA::Any &value, CORBA::Any &copy)
{
  if (ORB_Manager::orb_ready()) {
    copy = value;
    return true;
  }
  const TMX::HousekeepingData *housekeeping;
  const TMX::Message *message;
  const TMX::Event *event;
  const Event_Comm::Event *line;
  const char *text;
  CORBA::TypeCode_var type = value.type();
  if (type->kind() == CORBA::tk_null || type->kind() == CORBA::tk_void)
    copy = CORBA::Any();
  else if (value >>= housekeeping)
    copy <<= *housekeeping;
  else if (value >>= message)
    copy <<= *message;
  else if (value >>= event)
    copy <<= *event;
  else if (value >>= line)
    copy <<= *line;
  else if (value >>= text)
    copy <<= text;
  else
    return false;
  return true;
}

// Housekeeping records and messages (alarms among them) are what the
// monitor exists to publish; everything else, console lines above all,
// gives way to them when the queue is full.
Event_Queue::Kind kind_of(const CORBA::Any &value)
{
  CORBA::TypeCode_var type = value.type();
  if (type->equivalent(TMX::_tc_HousekeepingData) || type->equivalent(TMX::_tc_Message))
    return Event_Queue::Kind::record;
  return Event_Queue::Kind::line;
}

void report_overflow(const Event_Queue::Drops &drops, std::size_t limit)
{
  char text[128];
  std::snprintf(text,
                sizeof text,
                "Event queue full (%zu values): %llu console lines and %llu housekeeping records or "
                "messages dropped",
                limit,
                static_cast<unsigned long long>(drops.lines),
                static_cast<unsigned long long>(drops.records));
  reportError(text);
}
} // namespace

constexpr std::chrono::milliseconds Event_Supplier::retry_delay_min;
constexpr std::chrono::milliseconds Event_Supplier::retry_delay_max;

Event_Supplier::Event_Supplier(ACE_Thread_Manager *thr_mgr)
  : ACE_Task<ACE_MT_SYNCH>(thr_mgr)
  , generator_(thr_mgr, this)
  , queue_signal_(new Semaphore(0, "EVENT QUEUE SIGNAL"))
{
}

Event_Supplier::~Event_Supplier()
{
  ACE_DEBUG((LM_DEBUG, "Event_Supplier::~Event_Supplier\n"));
  stop();
  // The thread may still be in a push; its values and the semaphore must
  // outlive it.
  wait();
  generator_.stop();
  generator_.wait();
  {
    std::lock_guard<std::mutex> guard(queue_mutex_);
    queue_.clear();
  }
  queue_signal_->close();
  queue_signal_.reset();
}

int Event_Supplier::init(int argc, char *argv[], Notifier_Handler *notifier_handler)
{
  notifier_handler_ = notifier_handler;
  if (generator_.parse_args(argc, argv) != 0)
    return -1;
  if (notifier_handler_ == nullptr)
    return -1;
  running_.store(1);
  return 0;
}

void Event_Supplier::queue_event(const CORBA::Any &value)
{
  CORBA::Any copy;
  try {
    if (!copy_value(value, copy)) {
      ACE_ERROR((LM_ERROR,
                 "Event_Supplier::queue_event: value dropped: it cannot be copied before the ORB "
                 "is initialised\n"));
      return;
    }
  } catch (const CORBA::Exception &ex) {
    print_exception(ex, "Event_Supplier::queue_event: value dropped");
    return;
  }
  const Event_Queue::Kind kind = kind_of(copy);
  bool was_empty = false;
  bool refused = false;
  bool first_refusal = false;
  {
    std::lock_guard<std::mutex> guard(queue_mutex_);
    if (closed_) {
      refused = true;
      first_refusal = !refusal_reported_;
      refusal_reported_ = true;
    } else {
      was_empty = queue_.empty();
      queue_.push(copy, kind);
    }
  }
  // Reported outside the lock: the report comes back here as a message.
  if (first_refusal)
    reportMessage("Publishing stopped: values are no longer queued");
  if (!refused && was_empty)
    queue_signal_->give();
}

void Event_Supplier::set_queue_limit(std::size_t limit)
{
  std::lock_guard<std::mutex> guard(queue_mutex_);
  queue_.set_limit(limit);
}

bool Event_Supplier::parse_queue_limit(const char *text, std::size_t &limit)
{
  if (text == nullptr || !std::isdigit(static_cast<unsigned char>(text[0])))
    return false;
  char *end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (*end != '\0' || errno == ERANGE || value == 0 || value > SIZE_MAX)
    return false;
  limit = static_cast<std::size_t>(value);
  return true;
}

std::size_t Event_Supplier::queue_limit() const
{
  std::lock_guard<std::mutex> guard(queue_mutex_);
  return queue_.limit();
}

int Event_Supplier::stop()
{
  {
    std::lock_guard<std::mutex> guard(stop_mutex_);
    running_.store(0);
  }
  stop_changed_.notify_all();
  Event_Queue::Drops drops;
  bool episode_ended;
  std::size_t limit;
  {
    std::lock_guard<std::mutex> guard(queue_mutex_);
    closed_ = true;
    episode_ended = queue_.end_episode(drops);
    limit = queue_.limit();
  }
  if (episode_ended)
    report_overflow(drops, limit);
  if (queue_signal_)
    queue_signal_->give();
  return 0;
}

bool Event_Supplier::wait_unless_stopped(std::chrono::milliseconds delay)
{
  std::unique_lock<std::mutex> lock(stop_mutex_);
  return !stop_changed_.wait_for(lock, delay, [this] { return running_.load() == 0; });
}

int Event_Supplier::svc()
{
  if (generator_.enabled())
    generator_.activate(0, 1, 0, 0, -1);

  // running is set by init and cleared by stop; a stop that came before
  // this thread started is honoured rather than overwritten.
  Event_Comm::Notifier_var notifier;
  if (notifier_handler_ != nullptr)
    notifier = notifier_handler_->acquire_notifier();
  if (!CORBA::is_nil(notifier))
    omniORB::setClientCallTimeout(notifier.in(), push_timeout_ms);

  Event_Comm::Event event;
  event.tag_ = CORBA::string_dup("TMX");
  event.object_ref_ = CORBA::Object::_nil();
  Event_Queue::Entry entry;
  std::chrono::milliseconds delay = retry_first_;

  while (running_.load() != 0) {
    if (!take(entry)) {
      if (!wait_for_value())
        break;
      continue;
    }
    const Push_Result result = push(notifier.in(), event, entry);
    if (result != Push_Result::failed) {
      ++(result == Push_Result::pushed ? pushed_ : dropped_);
      delay = retry_first_;
      continue;
    }
    put_back(entry);
    ++failed_;
    if (!back_off(delay))
      break;
    refresh_notifier(notifier);
  }

  ACE_DEBUG((LM_DEBUG, "Event_Supplier::svc ended \n"));
  running_.store(0);
  if (generator_.enabled())
    generator_.stop();
  return 0;
}

bool Event_Supplier::take(Event_Queue::Entry &entry)
{
  Event_Queue::Drops drops;
  bool episode_ended;
  std::size_t limit;
  {
    std::lock_guard<std::mutex> guard(queue_mutex_);
    if (!queue_.take(entry))
      return false;
    episode_ended = queue_.episode_ended(drops);
    limit = queue_.limit();
  }
  if (episode_ended)
    report_overflow(drops, limit);
  return true;
}

void Event_Supplier::put_back(Event_Queue::Entry &entry)
{
  std::lock_guard<std::mutex> guard(queue_mutex_);
  queue_.put_back(entry);
}

bool Event_Supplier::wait_for_value()
{
  if (idle_hook_)
    idle_hook_();
  return queue_signal_->take(WAIT_FOREVER) == 0;
}

Event_Supplier::Push_Result Event_Supplier::push(Event_Comm::Notifier_ptr notifier,
                                                 Event_Comm::Event &event,
                                                 Event_Queue::Entry &entry)
{
  // The value travels in the event for the push and returns to the entry
  // after a failure, swapped both ways rather than copied.
  event.value_.NP_swap(entry.value);
  const Push_Result result = push_once(notifier, event);
  if (result == Push_Result::failed)
    entry.value.NP_swap(event.value_);
  return result;
}

Event_Supplier::Push_Result Event_Supplier::push_once(Event_Comm::Notifier_ptr notifier,
                                                      const Event_Comm::Event &event)
{
  if (CORBA::is_nil(notifier)) {
    ACE_ERROR((LM_ERROR, "Event_Supplier::svc: push failed: no notifier reference\n"));
    return Push_Result::failed;
  }
  try {
    notifier->push(event);
    return Push_Result::pushed;
  } catch (const CORBA::SystemException &ex) {
    const bool unsendable = is_unsendable(ex);
    print_exception(ex,
                    unsendable ? "Event_Supplier::svc: push failed, value dropped"
                               : "Event_Supplier::svc: push failed");
    return unsendable ? Push_Result::unsendable : Push_Result::failed;
  } catch (const CORBA::Exception &ex) {
    print_exception(ex, "Event_Supplier::svc: push failed");
  }
  return Push_Result::failed;
}

bool Event_Supplier::is_unsendable(const CORBA::SystemException &ex)
{
  // A value that cannot be marshalled fails the same way every time;
  // retrying it would hold up everything behind it.
  return CORBA::BAD_PARAM::_downcast(&ex) || CORBA::MARSHAL::_downcast(&ex) ||
         CORBA::DATA_CONVERSION::_downcast(&ex) || CORBA::BAD_TYPECODE::_downcast(&ex);
}

bool Event_Supplier::back_off(std::chrono::milliseconds &delay)
{
  if (!wait_unless_stopped(delay))
    return false;
  delay = std::min(delay * 2, retry_limit_);
  return true;
}

void Event_Supplier::refresh_notifier(Event_Comm::Notifier_var &notifier)
{
  if (notifier_handler_ != nullptr) {
    Event_Comm::Notifier_var found = notifier_handler_->resolve_notifier();
    if (!CORBA::is_nil(found)) {
      notifier = found;
      omniORB::setClientCallTimeout(notifier.in(), push_timeout_ms);
    }
  }
}

std::size_t Event_Supplier::queue_length() const
{
  std::lock_guard<std::mutex> guard(queue_mutex_);
  return queue_.size();
}

std::vector<CORBA::Any> Event_Supplier::queued_values() const
{
  std::lock_guard<std::mutex> guard(queue_mutex_);
  std::vector<CORBA::Any> values(queue_.size());
  std::size_t i = 0;
  queue_.for_each([&](const Event_Queue::Entry &entry) { copy_value(entry.value, values[i++]); });
  return values;
}
