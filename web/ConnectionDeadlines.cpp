#include "web/ConnectionDeadlines.h"

#include <sys/socket.h>

namespace tmx::web {

ConnectionDeadlines::ConnectionDeadlines(std::chrono::milliseconds allowed, std::chrono::milliseconds period)
  : allowed_(allowed)
{
  thread_ = std::thread([this, period] {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_.wait_for(lock, period, [this] { return stopping_; })) {
      lock.unlock();
      expire(Clock::now());
      lock.lock();
    }
  });
}

ConnectionDeadlines::~ConnectionDeadlines()
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stop_.notify_all();
  thread_.join();
}

void ConnectionDeadlines::started(const void *key, int fd)
{
  std::lock_guard<std::mutex> lock(mutex_);
  entries_[key] = Entry{ fd, Clock::now() + allowed_ };
}

void ConnectionDeadlines::closed(const void *key)
{
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.erase(key);
}

void ConnectionDeadlines::busy(const void *key)
{
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(key);
  if (it != entries_.end())
    it->second.busy = true;
}

void ConnectionDeadlines::idle(const void *key)
{
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(key);
  if (it != entries_.end()) {
    it->second.busy = false;
    it->second.deadline = Clock::now() + allowed_;
  }
}

int ConnectionDeadlines::expire(Clock::time_point now)
{
  int shut = 0;
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto &e : entries_) {
    if (!e.second.busy && e.second.deadline <= now) {
      // Under the lock: closed() comes before the descriptor is closed.
      ::shutdown(e.second.fd, SHUT_RDWR);
      e.second.deadline = Clock::time_point::max();
      ++shut;
    }
  }
  return shut;
}

} // namespace tmx::web
