// The thread that runs the alert client's rounds: once a second, and at
// once when poked (an alarm changed). The client's exchanges, and so
// libcurl, happen on this thread only.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "archive/Episode.h"
#include "web/AlertClient.h"
#include "web/Clock.h"

namespace tmx::web {

class AlertLoop
{
public:
  using Episodes = std::function<std::vector<archive::Episode>()>;

  AlertLoop(AlertClient &client, Episodes episodes, const Clock &clock);
  ~AlertLoop(); // stop()
  AlertLoop(const AlertLoop &) = delete;
  AlertLoop &operator=(const AlertLoop &) = delete;

  void start();
  // Asks for a round now. Cheap and never blocks for long: safe from any
  // thread, but not under a lock that `episodes` takes.
  void poke();
  // Ends after the round in progress (bounded by the sender's time-outs).
  void stop();

private:
  void run();

  AlertClient &client_;
  Episodes episodes_;
  const Clock &clock_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool poked_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

} // namespace tmx::web
