// Waiting for a server the tests start (Prometheus, Alertmanager) to say
// it is ready on loopback.
#pragma once

#include "tests/support/TestSupport.h"

#include <httplib.h>

#include <chrono>

namespace tmx::test {

// Whether process answers 200 on GET /-/ready at 127.0.0.1:port within
// 30 s; false as soon as it has ended.
inline bool answersReady(ChildProcess &process, int port)
{
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(1, 0);
  client.set_read_timeout(2, 0);
  const bool ready = eventually(
    [&] {
      if (!process.running())
        return true;
      auto r = client.Get("/-/ready");
      return r && r->status == 200;
    },
    std::chrono::milliseconds(30000));
  return ready && process.running();
}

} // namespace tmx::test
