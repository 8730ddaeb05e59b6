#include "tests/support/Recording.h"

namespace tmx::test {

// ---------------------------------------------------------- RecordingSink

void RecordingSink::send_event(const CORBA::Any &value)
{
  const TMX::Message *message = nullptr;
  std::lock_guard<std::mutex> guard(mutex_);
  values_.push_back(value);
  if (value >>= message)
    messages_.push_back(
      { std::string(message->text), static_cast<int>(message->priority), message->arrival_time });
  arrived_.notify_all();
}

std::vector<CORBA::Any> RecordingSink::values() const
{
  std::lock_guard<std::mutex> guard(mutex_);
  return values_;
}

bool RecordingSink::waitCount(std::size_t n, milliseconds timeout)
{
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, timeout, [&] { return values_.size() >= n; });
}

std::vector<Published> RecordingSink::messages() const
{
  std::lock_guard<std::mutex> guard(mutex_);
  return messages_;
}

std::size_t RecordingSink::count() const
{
  std::lock_guard<std::mutex> guard(mutex_);
  return messages_.size();
}

std::size_t RecordingSink::others() const
{
  std::lock_guard<std::mutex> guard(mutex_);
  return values_.size() - messages_.size();
}

bool RecordingSink::waitFor(std::size_t n, int ms)
{
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, milliseconds(ms), [&] { return messages_.size() >= n; });
}

std::vector<TMX::HousekeepingData> RecordingSink::take()
{
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<TMX::HousekeepingData> records;
  for (; taken_ < values_.size(); ++taken_) {
    const TMX::HousekeepingData *record = nullptr;
    if (values_[taken_] >>= record)
      records.push_back(*record);
  }
  return records;
}

// ------------------------------------------------------ RecordingConsumer

void RecordingConsumer::push(const Event_Comm::Event &event)
{
  Pushed p{ event, std::chrono::steady_clock::now(), std::time(nullptr) };
  if (onPush)
    onPush();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++entered_;
    changed_.notify_all();
    if (fail_)
      throw CORBA::BAD_OPERATION(0, CORBA::COMPLETED_YES);
  }
  gate_.pass(milliseconds(60000));
  std::lock_guard<std::mutex> lock(mutex_);
  pushed_.push_back(std::move(p));
  changed_.notify_all();
}

void RecordingConsumer::disconnect(const char *reason)
{
  std::lock_guard<std::mutex> lock(mutex_);
  disconnects_.push_back(reason);
  changed_.notify_all();
}

void RecordingConsumer::failPushes()
{
  std::lock_guard<std::mutex> lock(mutex_);
  fail_ = true;
}

std::vector<Pushed> RecordingConsumer::pushed() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return pushed_;
}

std::vector<Event_Comm::Event> RecordingConsumer::events() const
{
  std::vector<Event_Comm::Event> out;
  for (const auto &p : pushed())
    out.push_back(p.event);
  return out;
}

std::vector<std::string> RecordingConsumer::tags() const
{
  std::vector<std::string> out;
  for (const auto &p : pushed())
    out.push_back(p.event.tag_.in());
  return out;
}

std::vector<long long> RecordingConsumer::numbers() const
{
  std::vector<long long> out;
  for (const auto &p : pushed()) {
    CORBA::ULong n;
    out.push_back((p.event.value_ >>= n) ? static_cast<long long>(n) : -1);
  }
  return out;
}

std::vector<std::string> RecordingConsumer::disconnects() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return disconnects_;
}

bool RecordingConsumer::waitTags(std::size_t n, milliseconds timeout)
{
  return waitUntil([&](const std::vector<Pushed> &all) { return all.size() >= n; }, timeout);
}

bool RecordingConsumer::waitEntered(std::size_t n, milliseconds timeout)
{
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return entered_ >= n; });
}

bool RecordingConsumer::waitDisconnect(milliseconds timeout)
{
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return !disconnects_.empty(); });
}

} // namespace tmx::test
