// The loggers file: each source's options, and a clear error for bad lines.
#include "platform/spectrum/Loggers.h"
#include "platform/spectrum/Simulation.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

using ::testing::HasSubstr;
using namespace spectrum;

namespace {

LoggerSpec parseOne(const std::string &line)
{
  LoggersFile file;
  unsigned badLine = 0;
  std::string problem;
  EXPECT_TRUE(parseLoggers(line + "\n", "/fake", file, badLine, problem)) << line << ": " << problem;
  EXPECT_EQ(1u, file.loggers.size());
  return file.loggers.empty() ? LoggerSpec{} : file.loggers.front();
}

TEST(LoggersFile, SourcesAndTheirOptions)
{
  LoggerSpec fixed = parseOne("logger 1 TMX-S1 18.25 off   # as it always was");
  EXPECT_EQ(SourceKind::sim, fixed.kind);
  EXPECT_EQ(SimChannel::number, fixed.sim.channels[0].state);
  EXPECT_DOUBLE_EQ(18.25, fixed.sim.channels[0].value);
  EXPECT_EQ(SimChannel::off, fixed.sim.channels[1].state);

  LoggerSpec sim = parseOne("logger 1 TMX-S1 sim temp=18.25 rh=fail drift=1.5 period=600 noise=0.05");
  EXPECT_DOUBLE_EQ(1.5, sim.sim.drift);
  EXPECT_DOUBLE_EQ(600, sim.sim.periodS);
  EXPECT_DOUBLE_EQ(0.05, sim.sim.noise);
  EXPECT_EQ(SimChannel::fail, sim.sim.channels[1].state);

  LoggerSpec tcp =
    parseOne("logger 2 TMX-E1 modbus-tcp host=10.0.0.5 unit=3 timeout=250 period=2000 stale=4.5 "
             "rh=holding:0x10:float32-swapped:2:-1 temp=input:0");
  EXPECT_EQ(SourceKind::modbusTcp, tcp.kind);
  EXPECT_EQ("10.0.0.5", tcp.modbus.host);
  EXPECT_EQ(502, tcp.modbus.port);
  EXPECT_EQ(3, tcp.modbus.unit);
  EXPECT_EQ(250, tcp.modbus.timeoutMs);
  EXPECT_EQ(2000, tcp.periodMs);
  EXPECT_DOUBLE_EQ(4.5, tcp.staleS);
  const RegisterChannel &t = tcp.modbus.channels[0], &h = tcp.modbus.channels[1];
  EXPECT_TRUE(t.used && t.kind == RegisterKind::input && t.address == 0 && t.type == RegisterType::int16);
  EXPECT_DOUBLE_EQ(1.0, t.scale);
  EXPECT_TRUE(h.kind == RegisterKind::holding && h.address == 16 && h.type == RegisterType::float32 &&
              h.swapped);
  EXPECT_DOUBLE_EQ(2.0, h.scale);
  EXPECT_DOUBLE_EQ(-1.0, h.offset);
  EXPECT_EQ("10.0.0.5:502 unit 3", tcp.deviceName());

  LoggerSpec rtu =
    parseOne("logger 2 TMX-E1 modbus-rtu device=/dev/ttyUSB0 baud=19200 format=8E1 temp=holding:0");
  EXPECT_EQ(19200, rtu.modbus.baud);
  EXPECT_EQ('E', rtu.modbus.parity);
  EXPECT_EQ(1, rtu.modbus.stopBits);
  EXPECT_FALSE(rtu.modbus.channels[1].used);

  LoggerSpec hwmon = parseOne("logger 1 TMX-S1 hwmon name=sht3x path=1-0044 rh=off");
  EXPECT_EQ("/fake", hwmon.sysfs.root);
  EXPECT_EQ("1-0044", hwmon.sysfs.path);
  EXPECT_TRUE(hwmon.sysfs.used[0]);
  EXPECT_FALSE(hwmon.sysfs.used[1]);
  EXPECT_EQ(SourceKind::iio, parseOne("logger 1 TMX-S1 iio name=si7020").kind);
}

TEST(LoggersFile, BadLinesSayWhatIsWrong)
{
  const struct
  {
    const char *line, *problem;
  } cases[] = {
    { "logger 1 A modbus-tcp temp=input:0", "needs host=" },
    { "logger 1 A modbus-tcp host=h", "no channel" },
    { "logger 1 A modbus-tcp host=h temp=input:0 colour=red", "unknown option for modbus-tcp: colour" },
    { "logger 1 A modbus-tcp host=h temp=input:0 temp=input:1", "given twice" },
    { "logger 1 A modbus-tcp host=h port=70000 temp=input:0", "port must be an integer from 1 to 65535" },
    { "logger 1 A modbus-tcp host=h temp=coil:0", "register kind is input or holding" },
    { "logger 1 A modbus-tcp host=h temp=input:0x1g", "register address" },
    { "logger 1 A modbus-tcp host=h temp=input:65535:int32", "beyond address 65535" },
    { "logger 1 A modbus-tcp host=h temp=input:0:int16-swapped", "only 32-bit types" },
    { "logger 1 A modbus-tcp host=h temp=input:0:int8", "type is int16" },
    { "logger 1 A modbus-tcp host=h temp=input:0:int16:x", "scale is not a number" },
    { "logger 1 A modbus-tcp host=h temp=input", "KIND:ADDRESS" },
    { "logger 1 A modbus-rtu device=/dev/x format=7N1 temp=input:0", "format is 8N1" },
    { "logger 1 A hwmon path=x", "needs name=" },
    { "logger 1 A iio name=x temp=off rh=off", "both channels off" },
    { "logger 1 A sim temp=warm", "temperature is not a number" },
    { "logger 1 A sim stale", "expected key=value" },
  };
  for (const auto &c : cases) {
    LoggersFile file;
    unsigned badLine = 0;
    std::string problem;
    EXPECT_FALSE(parseLoggers(std::string("# header\n") + c.line + "\n", "/sys", file, badLine, problem))
      << c.line;
    EXPECT_EQ(2u, badLine) << c.line;
    EXPECT_THAT(problem, HasSubstr(c.problem)) << c.line;
  }

  // One serial line, one set of settings.
  LoggersFile file;
  unsigned badLine = 0;
  std::string problem;
  EXPECT_FALSE(parseLoggers("logger 1 A modbus-rtu device=/dev/x unit=1 temp=input:0\n"
                            "logger 2 B modbus-rtu device=/dev/x unit=2 baud=19200 temp=input:0\n",
                            "/sys",
                            file,
                            badLine,
                            problem));
  EXPECT_EQ(2u, badLine);
  EXPECT_THAT(problem, HasSubstr("other settings on line 1"));
}

TEST(Simulation, DriftsAsASineWithNoise)
{
  SimSpec spec;
  spec.channels[0] = { SimChannel::number, 20.0 };
  spec.channels[1] = { SimChannel::number, 99.0 };
  spec.drift = 2.0;
  spec.periodS = 100.0;
  std::mt19937 random(1);
  EXPECT_NEAR(22.0, simulate(spec, 0, 1025.0, random), 1e-9);
  EXPECT_NEAR(18.0, simulate(spec, 0, 75.0, random), 1e-9);
  EXPECT_DOUBLE_EQ(100.0, simulate(spec, 1, 25.0, random)); // humidity stays within 0..100

  spec.noise = 0.5;
  double sum = 0, squares = 0;
  const int n = 2000;
  for (int i = 0; i < n; ++i) {
    double d = simulate(spec, 0, 0.0, random) - 20.0;
    sum += d;
    squares += d * d;
  }
  EXPECT_NEAR(0.0, sum / n, 0.05);
  EXPECT_NEAR(0.5, std::sqrt(squares / n), 0.05);
}

} // namespace
