#include "simulator/TcpClients.h"

#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace tmx::modbus {

TcpClients::TcpClients(modbus_t *ctx, int listener, std::size_t most)
  : ctx_(ctx)
  , listener_(listener)
  , most_(most)
{
}

TcpClients::~TcpClients()
{
  closeAll();
}

void TcpClients::closeAll()
{
  for (int c : clients_)
    ::close(c);
  clients_.clear();
  modbus_set_socket(ctx_, -1);
}

int TcpClients::serve(std::chrono::microseconds wait, const Answer &answer)
{
  fd_set fds;
  FD_ZERO(&fds);
  FD_SET(listener_, &fds);
  int top = listener_;
  for (int c : clients_) {
    FD_SET(c, &fds);
    top = std::max(top, c);
  }
  timeval tv{ static_cast<time_t>(wait.count() / 1000000), static_cast<suseconds_t>(wait.count() % 1000000) };
  if (::select(top + 1, &fds, nullptr, nullptr, &tv) <= 0)
    return 0;
  int accepted = 0;
  if (FD_ISSET(listener_, &fds)) {
    int c = ::accept(listener_, nullptr, nullptr);
    if (c >= 0 && clients_.size() < most_) {
      clients_.push_back(c);
      ++accepted;
    } else if (c >= 0) {
      ::close(c);
    }
  }
  std::uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
  for (auto it = clients_.begin(); it != clients_.end();) {
    if (!FD_ISSET(*it, &fds)) {
      ++it;
      continue;
    }
    modbus_set_socket(ctx_, *it);
    int n = modbus_receive(ctx_, query);
    if (n < 0) {
      ::close(*it);
      it = clients_.erase(it);
      continue;
    }
    if (n > 0)
      answer(query, n);
    ++it;
  }
  // The context keeps no client's descriptor between calls: a descriptor
  // closed here may be reused by anyone, and a later modbus_close of the
  // context would close theirs.
  modbus_set_socket(ctx_, -1);
  return accepted;
}

} // namespace tmx::modbus
