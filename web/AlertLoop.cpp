#include "web/AlertLoop.h"

#include <chrono>
#include <utility>

namespace tmx::web {

AlertLoop::AlertLoop(AlertClient &client, Episodes episodes, const Clock &clock)
  : client_(client)
  , episodes_(std::move(episodes))
  , clock_(clock)
{
}

AlertLoop::~AlertLoop()
{
  stop();
}

void AlertLoop::start()
{
  thread_ = std::thread([this] { run(); });
}

void AlertLoop::poke()
{
  std::lock_guard<std::mutex> lock(mutex_);
  poked_ = true;
  wake_.notify_one();
}

void AlertLoop::stop()
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    wake_.notify_one();
  }
  if (thread_.joinable())
    thread_.join();
}

void AlertLoop::run()
{
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait_for(lock, std::chrono::seconds(1), [this] { return poked_ || stopping_; });
      if (stopping_)
        return;
      poked_ = false;
    }
    client_.round(episodes_(), unixSeconds(clock_.wall()));
  }
}

} // namespace tmx::web
