// libspectrum's Modbus loggers against real Modbus servers: TCP on a free
// loopback port and RTU over a pseudo-terminal pair, read through the C
// interface the monitor uses.
#include "platform/spectrum/Spectrum.h"
#include "tests/sensors/ModbusTestServer.h"
#include "tests/support/TestUtil.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>

using namespace tmx::test;
using ::testing::HasSubstr;

namespace {

struct Value
{
  int32_t status = -1;
  double value = 0;
  int enabled = -1;
  std::string text;
};

// Channel `ch` of the logger with read argument `arg`, read as the monitor
// reads it.
Value readLogger(int32_t arg, int32_t ch)
{
  static uint32_t handle = [] {
    uint32_t h = 0;
    SPLGR_CreateLoggerObject(&h);
    return h;
  }();
  Value v;
  v.status = SPLGR_ReadChannelValues(handle, arg, 0);
  if (v.status == 0 && (v.status = SPLGR_GetChannelEnabled(handle, ch, &v.enabled)) == 0 && v.enabled)
    v.status = SPLGR_GetChannelValue(handle, ch, &v.value);
  char text[SPECTRUM_TEXT_SIZE];
  SPUTL_FormatStatusCode(v.status, text);
  v.text = text;
  return v;
}

bool reads(int32_t arg, int32_t ch, double expected)
{
  return eventually([&] {
    Value v = readLogger(arg, ch);
    return v.status == 0 && std::fabs(v.value - expected) < 1e-6;
  });
}

// True once the channel fails with a text containing `part`.
bool failsWith(int32_t arg, int32_t ch, const std::string &part)
{
  return eventually([&] {
    Value v = readLogger(arg, ch);
    return v.status == SPSTATUS_NO_READING && v.text.find(part) != std::string::npos;
  });
}

class ModbusLogger : public ::testing::Test
{
protected:
  void loggers(const std::string &text) { dir_.write("loggers", text); }

  TempDir dir_;
  ScopedEnv env_{ "TMX_LOGGERS", dir_.file("loggers") };
};

TEST_F(ModbusLogger, TcpTypesScalingAndDeviceFailures)
{
  auto server = ModbusTestServer::tcp(1);
  server->setInput(0, static_cast<uint16_t>(-123));
  server->setInput(1, 415);
  auto f = tmx::test::floatWords(21.5f), g = tmx::test::floatWords(-55.25f);
  server->setHolding(10, f[0]);
  server->setHolding(11, f[1]);
  server->setHolding(12, g[1]); // low word first
  server->setHolding(13, g[0]);
  server->setHolding(20, static_cast<uint16_t>(0xFFFF)); // int32 -2000
  server->setHolding(21, static_cast<uint16_t>(0xF830));
  server->setHolding(22, 0x1170); // uint32 70000, low word first
  server->setHolding(23, 0x0001);
  server->setInput(30, 65535);
  const std::string at = "modbus-tcp host=127.0.0.1 port=" + std::to_string(server->port()) + " period=50 ";
  loggers("logger 1 A " + at + "temp=input:0:int16:0.1 rh=input:1:int16:0.1\n" + "logger 2 B " + at +
          "temp=holding:0x0a:float32 rh=holding:12:float32-swapped\n" + "logger 3 C " + at +
          "temp=holding:20:int32:0.01:-1 rh=holding:22:uint32-swapped:0.001\n" + "logger 4 D " + at +
          "temp=input:30:uint16:0.01:-40\n" + "logger 5 E " + at +
          "unit=9 timeout=100 stale=0.2 temp=input:0\n" + "logger 6 F " + at +
          "stale=0.2 temp=input:500 rh=input:1\n");
  const struct
  {
    int32_t arg, ch;
    double value;
  } good[] = { { 1, 0, -12.3 }, { 1, 1, 41.5 }, { 2, 0, 21.5 },   { 2, 1, -55.25 },
               { 3, 0, -21.0 }, { 3, 1, 70.0 }, { 4, 0, 615.35 }, { 6, 1, 415 } };
  for (const auto &c : good)
    EXPECT_TRUE(reads(c.arg, c.ch, c.value))
      << "logger " << c.arg << " channel " << c.ch << ": " << readLogger(c.arg, c.ch).text;
  EXPECT_EQ(0, readLogger(4, 1).enabled);
  const std::string device = "no reading from 127.0.0.1:" + std::to_string(server->port());
  EXPECT_TRUE(failsWith(5, 0, device + " unit 9 for ")) << readLogger(5, 0).text;
  EXPECT_THAT(readLogger(5, 0).text, HasSubstr("timed out"));
  EXPECT_THAT(readLogger(6, 0).text, HasSubstr(" s: Illegal data address"));
  EXPECT_TRUE(failsWith(6, 0, device + " unit 1 for ")) << readLogger(6, 0).text;
}

TEST_F(ModbusLogger, TcpDeviceThatStopsAnsweringComesBackWithinAPeriod)
{
  auto server = ModbusTestServer::tcp(1);
  server->setInput(0, 200);
  loggers("logger 1 A modbus-tcp host=127.0.0.1 port=" + std::to_string(server->port()) +
          " timeout=100 period=200 stale=0.5 temp=input:0:int16:0.1\n");
  ASSERT_TRUE(reads(1, 0, 20.0));

  server->setAnswering(false);
  ASSERT_TRUE(failsWith(1, 0, "for 0 s: Connection timed out")) << readLogger(1, 0).text;
  server->setAnswering(true);
  auto back = std::chrono::steady_clock::now();
  ASSERT_TRUE(reads(1, 0, 20.0));
  // One period of 200 ms, a time-out of 100 ms and a margin for a slow
  // (or sanitized) build.
  EXPECT_LT(std::chrono::steady_clock::now() - back, std::chrono::milliseconds(1000));
}

TEST_F(ModbusLogger, TcpReconnectsAfterADroppedConnectionOrARefusedOne)
{
  auto server = ModbusTestServer::tcp(1);
  server->setInput(0, 100);
  const int port = server->port();
  loggers("logger 1 A modbus-tcp host=127.0.0.1 port=" + std::to_string(port) +
          " period=50 stale=0.3 temp=input:0:int16:0.1\n");
  ASSERT_TRUE(reads(1, 0, 10.0));
  server->dropConnections();
  server->setInput(0, 110);
  ASSERT_TRUE(reads(1, 0, 11.0));
  EXPECT_GE(server->connections(), 2);

  // No server on the port: refused.
  server.reset();
  EXPECT_TRUE(failsWith(1, 0, ": Connection refused")) << readLogger(1, 0).text;
}

class RtuLogger : public ModbusLogger
{
protected:
  void SetUp() override { ASSERT_TRUE(pty_.ready()) << "socat did not make the pseudo-terminals"; }
  tmx::test::PtyPair pty_{ dir_.path() };
};

TEST_F(RtuLogger, ReadsHoldingRegistersOverASerialLine)
{
  auto server = ModbusTestServer::rtu(pty_.b(), 1);
  server->setHolding(0, static_cast<uint16_t>(-5));
  server->setHolding(1, 60000);
  loggers("logger 1 A modbus-rtu device=" + pty_.a() +
          " baud=19200 format=8E1 unit=1 period=50 temp=holding:0:int16:0.1 rh=holding:1:uint16:0.001\n");
  EXPECT_TRUE(reads(1, 0, -0.5)) << readLogger(1, 0).text;
  EXPECT_TRUE(reads(1, 1, 60.0)) << readLogger(1, 1).text;
}

TEST_F(RtuLogger, WrongUnitTimesOut)
{
  auto server = ModbusTestServer::rtu(pty_.b(), 1);
  loggers("logger 1 A modbus-rtu device=" + pty_.a() +
          " unit=2 timeout=100 period=50 stale=0.2 temp=holding:0\n");
  EXPECT_TRUE(failsWith(1, 0, "no reading from " + pty_.a() + " unit 2 for 0 s: Connection timed out"))
    << readLogger(1, 0).text;
}

} // namespace
