// A Modbus server for tests, made with libmodbus's own server side, on a
// thread of its own: TCP on a free loopback port, or RTU on one end of a
// pseudo-terminal pair made by socat.
#pragma once

#include <modbus/modbus.h>

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tmx::test {

class ModbusTestServer
{
public:
  // TCP on 127.0.0.1 at a port of the kernel's choosing; answers unit `unit`
  // only (others go unanswered, as behind a gateway with nothing there).
  static std::unique_ptr<ModbusTestServer> tcp(int unit = 1);
  // RTU on the serial device `path` (a pseudo-terminal), as unit `unit`.
  static std::unique_ptr<ModbusTestServer> rtu(const std::string &path, int unit = 1);
  ~ModbusTestServer();
  ModbusTestServer(const ModbusTestServer &) = delete;
  ModbusTestServer &operator=(const ModbusTestServer &) = delete;

  int port() const { return port_; }
  // 100 each of coils, discrete inputs, input and holding registers, all 0
  // at first.
  void setCoil(int address, bool value);
  void setDiscrete(int address, bool value);
  void setInput(int address, std::uint16_t value);
  void setHolding(int address, std::uint16_t value);
  // false: requests are read and left unanswered.
  void setAnswering(bool answering) { answering_ = answering; }
  // Closes every client connection (TCP).
  void dropConnections() { drop_ = true; }
  // Connections accepted so far (TCP).
  int connections() const { return connections_; }

private:
  ModbusTestServer(modbus_t *ctx, int unit);
  void runTcp();
  void runRtu();
  void answer(const std::uint8_t *query, int length, int unitOffset);

  modbus_t *ctx_;
  modbus_mapping_t *map_;
  int unit_;
  int listen_ = -1;
  int port_ = 0;
  std::mutex mutex_; // guards map_ against the test's setters
  std::atomic<bool> stop_{ false };
  std::atomic<bool> answering_{ true };
  std::atomic<bool> drop_{ false };
  std::atomic<int> connections_{ 0 };
  std::thread thread_;
};

// A pair of connected pseudo-terminals made by socat, links dir/a and
// dir/b; socat is ended with the object.
class PtyPair
{
public:
  explicit PtyPair(const std::string &dir);
  ~PtyPair();
  PtyPair(const PtyPair &) = delete;
  PtyPair &operator=(const PtyPair &) = delete;
  bool ready() const { return ready_; }
  const std::string &a() const { return a_; }
  const std::string &b() const { return b_; }

private:
  std::string a_, b_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

// The two registers of a float32 with the high word first.
std::vector<std::uint16_t> floatWords(float value);

} // namespace tmx::test
