// A raw TCP connection to a port on loopback, for the tests that speak
// HTTP by hand (the event stream, attacks on the server).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace tmx::test {

class LoopbackSocket
{
public:
  using Clock = std::chrono::steady_clock;

  // Connects to 127.0.0.1:port from the loopback address from; wait false:
  // a non-blocking connect (connected() tells only of one that completed).
  explicit LoopbackSocket(int port, const char *from = "127.0.0.1", bool wait = true)
  {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (wait ? 0 : SOCK_NONBLOCK), 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &a.sin_addr);
    ::bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
  }
  ~LoopbackSocket()
  {
    if (fd_ >= 0)
      ::close(fd_);
  }
  LoopbackSocket(const LoopbackSocket &) = delete;
  LoopbackSocket &operator=(const LoopbackSocket &) = delete;

  int fd() const { return fd_; }
  bool connected() const { return connected_; }

  bool send(const std::string &data)
  {
    std::size_t sent = 0;
    while (sent < data.size()) {
      const ssize_t n = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      if (n <= 0)
        return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }

  // Appends what comes to out until done(out) holds (true), the peer closes
  // (*closed set, when given) or the deadline passes.
  bool receiveUntil(std::string &out,
                    Clock::time_point deadline,
                    const std::function<bool(const std::string &)> &done,
                    bool *closed = nullptr)
  {
    for (;;) {
      if (done(out))
        return true;
      const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd p{ fd_, POLLIN, 0 };
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
        return false;
      char buf[65536];
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) {
        if (closed)
          *closed = true;
        return done(out);
      }
      out.append(buf, static_cast<std::size_t>(n));
    }
  }

  // Everything until the peer closes, or what came by the deadline.
  std::string readAll(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000),
                      bool *closed = nullptr)
  {
    std::string out;
    receiveUntil(
      out, Clock::now() + timeout, [](const std::string &) { return false; }, closed);
    return out;
  }

private:
  int fd_ = -1;
  bool connected_ = false;
};

} // namespace tmx::test
