#include "web/EventHub.h"

#include <algorithm>

namespace tmx::web {

EventHub::EventHub()
  : EventHub(Options())
{
}

EventHub::EventHub(Options options)
  : options_(options)
{
}

std::string EventHub::format(const std::string &event, const Json &data)
{
  // jsonText() escapes control characters, so the data is one line.
  return "event: " + event + "\ndata: " + jsonText(data) + "\n\n";
}
std::shared_ptr<EventHub::Client> EventHub::join(const std::string &first)
{
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_ || clients_.size() >= options_.maxClients)
    return nullptr;
  std::shared_ptr<Client> client(new Client(*this));
  if (!first.empty())
    client->queue_.push_back(first);
  clients_.push_back(client);
  return client;
}

void EventHub::leave(const std::shared_ptr<Client> &client)
{
  std::lock_guard<std::mutex> lock(mutex_);
  clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
}

void EventHub::publish(const std::string &event, const Json &data)
{
  const std::string text = format(event, data);
  std::lock_guard<std::mutex> lock(mutex_);
  if (clients_.empty())
    return;
  for (auto &c : clients_) {
    if (c->queue_.size() >= options_.queueLimit)
      c->queue_.pop_front();
    c->queue_.push_back(text);
  }
  changed_.notify_all();
}

void EventHub::close()
{
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  changed_.notify_all();
}

std::size_t EventHub::clients() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return clients_.size();
}

std::string EventHub::Client::next()
{
  std::unique_lock<std::mutex> lock(hub_.mutex_);
  hub_.changed_.wait_for(lock, hub_.options_.keepAlive, [this] { return hub_.closed_ || !queue_.empty(); });
  if (hub_.closed_)
    return {};
  if (queue_.empty())
    return ": keep-alive\n\n";
  std::string out;
  while (!queue_.empty()) {
    out += queue_.front();
    queue_.pop_front();
  }
  return out;
}

} // namespace tmx::web
