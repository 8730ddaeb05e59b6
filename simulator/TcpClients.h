// The clients of a libmodbus TCP server, served one select() at a time:
// the simulated transmitter's loop, and the test servers' as well.
#pragma once

#include <modbus/modbus.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace tmx::modbus {

class TcpClients
{
public:
  // Clients come from `listener` (left open at the end), at most `most` of
  // them at once (one more is closed at once); queries are received
  // through ctx.
  TcpClients(modbus_t *ctx, int listener, std::size_t most);
  // Closes every client.
  ~TcpClients();
  TcpClients(const TcpClients &) = delete;
  TcpClients &operator=(const TcpClients &) = delete;

  using Answer = std::function<void(const std::uint8_t *query, int length)>;
  // Waits up to `wait` for a client or a query, accepts the client and
  // hands each query received to answer; a client that closed or failed is
  // dropped. The number of clients accepted.
  int serve(std::chrono::microseconds wait, const Answer &answer);
  // Closes every client.
  void closeAll();

private:
  modbus_t *const ctx_;
  const int listener_;
  const std::size_t most_;
  std::vector<int> clients_;
};

} // namespace tmx::modbus
