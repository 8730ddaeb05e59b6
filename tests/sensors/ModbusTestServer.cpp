#include "tests/sensors/ModbusTestServer.h"

#include "tests/support/TestUtil.h"
#include "simulator/TcpClients.h"

#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <limits>
#include <stdexcept>

extern char **environ;

namespace tmx::test {

ModbusTestServer::ModbusTestServer(modbus_t *ctx, int unit)
  : ctx_(ctx)
  , map_(modbus_mapping_new(100, 100, 100, 100))
  , unit_(unit)
{
  if (!ctx_ || !map_)
    throw std::runtime_error("modbus server: " + std::string(modbus_strerror(errno)));
}

std::unique_ptr<ModbusTestServer> ModbusTestServer::tcp(int unit)
{
  std::unique_ptr<ModbusTestServer> s(new ModbusTestServer(modbus_new_tcp("127.0.0.1", 0), unit));
  s->listen_ = modbus_tcp_listen(s->ctx_, 8);
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (s->listen_ < 0 || ::getsockname(s->listen_, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
    throw std::runtime_error("modbus server: cannot listen");
  s->port_ = ntohs(addr.sin_port);
  s->thread_ = std::thread([p = s.get()] { p->runTcp(); });
  return s;
}

std::unique_ptr<ModbusTestServer> ModbusTestServer::rtu(const std::string &path, int unit)
{
  std::unique_ptr<ModbusTestServer> s(
    new ModbusTestServer(modbus_new_rtu(path.c_str(), 9600, 'N', 8, 1), unit));
  modbus_set_slave(s->ctx_, unit);
  if (modbus_connect(s->ctx_) != 0)
    throw std::runtime_error("modbus server: cannot open " + path);
  // modbus_receive returns now and then so that the thread sees stop_.
  modbus_set_indication_timeout(s->ctx_, 0, 50000);
  s->thread_ = std::thread([p = s.get()] { p->runRtu(); });
  return s;
}

ModbusTestServer::~ModbusTestServer()
{
  stop_ = true;
  if (thread_.joinable())
    thread_.join();
  if (listen_ >= 0)
    ::close(listen_);
  modbus_close(ctx_);
  modbus_free(ctx_);
  modbus_mapping_free(map_);
}

void ModbusTestServer::setCoil(int address, bool value)
{
  std::lock_guard<std::mutex> lock(mutex_);
  map_->tab_bits[address] = value;
}

void ModbusTestServer::setDiscrete(int address, bool value)
{
  std::lock_guard<std::mutex> lock(mutex_);
  map_->tab_input_bits[address] = value;
}

void ModbusTestServer::setInput(int address, std::uint16_t value)
{
  std::lock_guard<std::mutex> lock(mutex_);
  map_->tab_input_registers[address] = value;
}

void ModbusTestServer::setHolding(int address, std::uint16_t value)
{
  std::lock_guard<std::mutex> lock(mutex_);
  map_->tab_registers[address] = value;
}

void ModbusTestServer::answer(const std::uint8_t *query, int length, int unitOffset)
{
  if (!answering_ || query[unitOffset] != unit_)
    return;
  std::lock_guard<std::mutex> lock(mutex_);
  modbus_reply(ctx_, query, length, map_);
}

void ModbusTestServer::runTcp()
{
  tmx::modbus::TcpClients clients(ctx_, listen_, std::numeric_limits<std::size_t>::max());
  const auto answerQuery = [this](const std::uint8_t *query, int length) {
    answer(query, length, 6); // the unit id ends the MBAP header
  };
  while (!stop_) {
    if (drop_.exchange(false))
      clients.closeAll();
    connections_ += clients.serve(std::chrono::milliseconds(20), answerQuery);
  }
}

void ModbusTestServer::runRtu()
{
  std::uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
  while (!stop_) {
    int n = modbus_receive(ctx_, query);
    if (n > 0)
      answer(query, n, 0);
  }
}

PtyPair::PtyPair(const std::string &dir)
  : a_(dir + "/a")
  , b_(dir + "/b")
{
  std::string left = "pty,raw,echo=0,link=" + a_, right = "pty,raw,echo=0,link=" + b_;
  std::vector<char *> argv = { const_cast<char *>("socat"), left.data(), right.data(), nullptr };
  if (::posix_spawnp(&pid_, "socat", nullptr, nullptr, argv.data(), environ) != 0) {
    pid_ = -1;
    return;
  }
  ready_ = eventually([&] { return ::access(a_.c_str(), F_OK) == 0 && ::access(b_.c_str(), F_OK) == 0; });
}

PtyPair::~PtyPair()
{
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
}

std::vector<std::uint16_t> floatWords(float value)
{
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return { static_cast<std::uint16_t>(bits >> 16), static_cast<std::uint16_t>(bits & 0xFFFF) };
}

} // namespace tmx::test
