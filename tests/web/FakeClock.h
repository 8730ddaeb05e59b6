// A clock for tmx-web's tests: it stands still until advanced, steady and
// wall time together. Safe to read from another thread while advanced.
#pragma once

#include <chrono>
#include <mutex>

#include "web/Clock.h"

namespace tmx::web::test {

class FakeClock : public Clock
{
public:
  std::chrono::steady_clock::time_point steady() const override
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return steady_;
  }
  std::chrono::system_clock::time_point wall() const override
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return wall_;
  }
  void advance(std::chrono::milliseconds d)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    steady_ += d;
    wall_ += d;
  }

private:
  mutable std::mutex mutex_;
  std::chrono::steady_clock::time_point steady_{ std::chrono::hours(1) };
  std::chrono::system_clock::time_point wall_{ std::chrono::seconds(1765188000) };
};

} // namespace tmx::web::test
