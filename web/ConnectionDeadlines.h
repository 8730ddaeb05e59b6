// The time a client has to send a whole request: from the connection's
// start, or from the end of its previous answer, at most `allowed`. A
// connection past it while no request of it is being answered is shut
// down (shutdown(2): its socket stays open, so that the descriptor cannot
// be another connection's before the server closes it), so that a client
// dripping a request line by line cannot hold a connection for long. The
// server's own time-out only counts the time without any traffic.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace tmx::web {

class ConnectionDeadlines
{
public:
  using Clock = std::chrono::steady_clock;

  // Checks every `period` on a thread of its own, until destroyed.
  ConnectionDeadlines(std::chrono::milliseconds allowed, std::chrono::milliseconds period);
  ~ConnectionDeadlines();
  ConnectionDeadlines(const ConnectionDeadlines &) = delete;
  ConnectionDeadlines &operator=(const ConnectionDeadlines &) = delete;

  // key: the server's connection, fd its socket; closed() is called before
  // the socket is closed.
  void started(const void *key, int fd);
  void closed(const void *key);
  // A request has arrived whole (its answer is being made or sent), or its
  // answer is done and the next request is awaited.
  void busy(const void *key);
  void idle(const void *key);

  // Shuts down what is past its deadline at now; how many. (The thread
  // calls it; tests may too.)
  int expire(Clock::time_point now);

private:
  struct Entry
  {
    int fd;
    Clock::time_point deadline;
    bool busy = false;
  };

  const Clock::duration allowed_;
  std::mutex mutex_;
  std::condition_variable stop_;
  bool stopping_ = false;
  std::unordered_map<const void *, Entry> entries_;
  std::thread thread_;
};

} // namespace tmx::web
