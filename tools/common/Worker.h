// Start and stop of a class's own worker thread, whose loop runs until a
// `stopping` flag (guarded by the class's mutex) is set and waits on a
// condition variable in between.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

namespace tmx::tools {

// Runs `body` on `thread` unless a thread runs there already.
template<class Body>
void startWorker(std::mutex &mutex, std::thread &thread, Body &&body)
{
  std::lock_guard<std::mutex> lock(mutex);
  if (!thread.joinable())
    thread = std::thread(std::forward<Body>(body));
}

// Sets `stopping` and wakes the loop under `mutex`, then joins the thread
// outside it. False, and nothing done, when no thread runs.
inline bool stopWorker(std::mutex &mutex, std::condition_variable &wake, bool &stopping, std::thread &thread)
{
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!thread.joinable())
      return false;
    stopping = true;
    wake.notify_all();
  }
  thread.join();
  return true;
}

} // namespace tmx::tools
