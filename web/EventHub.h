// The clients of tmx-web's server-sent events (/api/events). publish()
// never blocks: each client has a bounded queue whose oldest events give
// way. Clients are bounded in number.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "web/Json.h"

namespace tmx::web {

class EventHub
{
public:
  struct Options
  {
    std::size_t maxClients = 64;
    std::size_t queueLimit = 256; // events per client
    std::chrono::milliseconds keepAlive{ 15000 };
  };

  class Client
  {
  public:
    // The next chunk to send: queued events, or ": keep-alive\n\n" after
    // keepAlive without any. Empty when the hub is closed.
    std::string next();

  private:
    friend class EventHub;
    explicit Client(EventHub &hub)
      : hub_(hub)
    {
    }
    EventHub &hub_;
    std::deque<std::string> queue_; // guarded by hub_.mutex_
  };

  EventHub();
  explicit EventHub(Options options);

  // A new client, or null when there are maxClients already (or closed).
  // first is queued for it before anything else.
  std::shared_ptr<Client> join(const std::string &first);
  void leave(const std::shared_ptr<Client> &client);
  // "event: NAME\ndata: JSON\n\n" to every client.
  void publish(const std::string &event, const Json &data);
  // Ends every client's stream (shutdown).
  void close();
  std::size_t clients() const;

  static std::string format(const std::string &event, const Json &data);

private:
  const Options options_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::shared_ptr<Client>> clients_;
  bool closed_ = false;
};

} // namespace tmx::web
