// tmx-modbus-sim: a simulated Modbus TCP temperature and humidity
// transmitter for demos, on the loopback only.
//
//   tmx-modbus-sim serve [--port N] [--temp DEGC] [--rh PERCENT]
//   tmx-modbus-sim set --port N temp|rh VALUE
//
// serve listens on 127.0.0.1 (port 0, the default: one the kernel picks),
// prints "tmx-modbus-sim: serving 127.0.0.1:PORT" and answers any unit id
// until SIGTERM or SIGINT. Holding registers 0 (temperature) and 1
// (relative humidity) hold hundredths, int16 and uint16: a logger reads
// them with temp=holding:0:int16:0.01 rh=holding:1:uint16:0.01. set writes
// one of them (function 6) as a client would.
#include "simulator/TcpClients.h"

#include <modbus/modbus.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

volatile std::sig_atomic_t stopping = 0;

void onSignal(int)
{
  stopping = 1;
}

int usage()
{
  std::fprintf(stderr,
               "usage: tmx-modbus-sim serve [--port N] [--temp DEGC] [--rh PERCENT]\n"
               "       tmx-modbus-sim set --port N temp|rh VALUE\n");
  return 2;
}

bool number(const char *text, double &out)
{
  char *end = nullptr;
  out = std::strtod(text, &end);
  return *text && *end == '\0' && std::isfinite(out);
}

// The register of a value in hundredths, or false when out of its range.
bool hundredths(const std::string &channel, double value, std::uint16_t &reg)
{
  double raw = std::round(value * 100);
  if (channel == "temp" && raw >= -32768 && raw <= 32767) {
    reg = static_cast<std::uint16_t>(static_cast<std::int16_t>(raw));
    return true;
  }
  if (channel == "rh" && raw >= 0 && raw <= 10000) {
    reg = static_cast<std::uint16_t>(raw);
    return true;
  }
  return false;
}

int serve(int port, double temp, double rh)
{
  modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
  modbus_mapping_t *map = modbus_mapping_new(0, 0, 2, 0);
  if (!ctx || !map || !hundredths("temp", temp, map->tab_registers[0]) ||
      !hundredths("rh", rh, map->tab_registers[1])) {
    std::fprintf(stderr, "tmx-modbus-sim: cannot start (values out of range?)\n");
    return 1;
  }
  int listener = modbus_tcp_listen(ctx, 8);
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (listener < 0 || ::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
    std::fprintf(stderr, "tmx-modbus-sim: cannot listen on 127.0.0.1:%d: %s\n", port, modbus_strerror(errno));
    return 1;
  }
  std::printf("tmx-modbus-sim: serving 127.0.0.1:%d\n", ntohs(addr.sin_port));
  std::fflush(stdout);
  std::signal(SIGTERM, onSignal);
  std::signal(SIGINT, onSignal);
  std::signal(SIGPIPE, SIG_IGN);

  {
    tmx::modbus::TcpClients clients(ctx, listener, 16);
    while (!stopping)
      clients.serve(std::chrono::milliseconds(200),
                    [&](const std::uint8_t *query, int length) { modbus_reply(ctx, query, length, map); });
  }
  ::close(listener);
  modbus_mapping_free(map);
  modbus_free(ctx);
  return 0;
}

int set(int port, const std::string &channel, double value)
{
  std::uint16_t reg = 0;
  if (!hundredths(channel, value, reg)) {
    std::fprintf(stderr, "tmx-modbus-sim: %s out of range: %g\n", channel.c_str(), value);
    return 2;
  }
  modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
  int rc = ctx && modbus_connect(ctx) == 0 ? modbus_write_register(ctx, channel == "temp" ? 0 : 1, reg) : -1;
  if (rc != 1)
    std::fprintf(stderr, "tmx-modbus-sim: cannot write to 127.0.0.1:%d: %s\n", port, modbus_strerror(errno));
  if (ctx) {
    modbus_close(ctx);
    modbus_free(ctx);
  }
  return rc == 1 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty())
    return usage();
  std::string command = args[0];
  int port = 0;
  double temp = 24.10, rh = 35.5;
  std::vector<std::string> rest;
  for (std::size_t i = 1; i < args.size(); ++i) {
    double v = 0;
    bool hasValue = i + 1 < args.size();
    if (args[i] == "--port" && hasValue && number(args[i + 1].c_str(), v) && v >= 0 && v <= 65535)
      port = static_cast<int>(v), ++i;
    else if (args[i] == "--temp" && hasValue && number(args[i + 1].c_str(), temp))
      ++i;
    else if (args[i] == "--rh" && hasValue && number(args[i + 1].c_str(), rh))
      ++i;
    else
      rest.push_back(args[i]);
  }
  if (command == "serve" && rest.empty())
    return serve(port, temp, rh);
  double value = 0;
  if (command == "set" && port > 0 && rest.size() == 2 && (rest[0] == "temp" || rest[0] == "rh") &&
      number(rest[1].c_str(), value))
    return set(port, rest[0], value);
  return usage();
}
