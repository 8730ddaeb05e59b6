// The monitor's logger reports a failure once per outage (each different
// failure text once), and once that it reads again.
#include "app/HousingSensor.h"
#include "platform/spectrum/Spectrum.h"
#include "tests/sensors/ModbusTestServer.h"
#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

using tmx::test::countOccurrences;
using tmx::test::printedBy;
using tmx::test::ScopedEnv;
using tmx::test::TempDir;

namespace {

class LoggerOutage : public ::testing::Test
{
protected:
  void SetUp() override
  {
    loggers("logger 0 TMX-S1 1 2\n");
    ASSERT_EQ(0, logger_.initialize("TMX-S1", nullptr));
  }
  void loggers(const std::string &text) { dir_.write("loggers", text); }
  // What `passes` sampling passes report.
  std::string sample(int passes)
  {
    return printedBy([&] {
      for (int i = 0; i < passes; ++i) {
        double t, h;
        logger_.readTemperature(t);
        logger_.readHumidity(h);
      }
    });
  }

  TempDir dir_;
  ScopedEnv env_{ "TMX_LOGGERS", dir_.file("loggers") };
  DataLogger logger_;
};

TEST_F(LoggerOutage, EachFailureOnceThenOnceThatItReadsAgain)
{
  loggers("logger 0 TMX-S1 fail fail\n");
  std::string out = sample(5);
  EXPECT_EQ(1u, countOccurrences(out, "ERROR: temperature channel of logger TMX-S1 failed to read")) << out;
  EXPECT_EQ(1u, countOccurrences(out, "ERROR: humidity channel of logger TMX-S1 failed to read")) << out;

  loggers("logger 7 TMX-S1 1 2\n"); // another failure in the same outage
  out = sample(5);
  EXPECT_EQ(1u, countOccurrences(out, "ERROR")) << out;
  EXPECT_EQ(1u, countOccurrences(out, "no logger with read argument 0")) << out;

  loggers("logger 0 TMX-S1 1 2\n");
  out = sample(5);
  EXPECT_EQ(1u, countOccurrences(out, "Logger TMX-S1 reads again\n")) << out;
  EXPECT_EQ(0u, countOccurrences(out, "ERROR")) << out;

  loggers("logger 0 TMX-S1 1 fail\n"); // a new outage
  out = sample(5);
  EXPECT_EQ(1u, countOccurrences(out, "ERROR")) << out;
  EXPECT_EQ(1u, countOccurrences(out, "ERROR: humidity channel of logger TMX-S1 failed to read\n")) << out;
}

TEST_F(LoggerOutage, AStaleValueWhoseAgeCountsOnIsOneFailure)
{
  int port = tmx::test::ModbusTestServer::tcp()->port(); // nobody listens there now
  loggers("logger 0 TMX-S1 modbus-tcp host=127.0.0.1 port=" + std::to_string(port) +
          " period=50 stale=0.01 temp=input:0 rh=input:1\n");
  uint32_t handle = 0;
  ASSERT_EQ(0, SPLGR_CreateLoggerObject(&handle));
  std::string out;
  // Sampled until the text has counted on from 0 s to 1 s.
  ASSERT_TRUE(tmx::test::eventually([&] {
    out += sample(1);
    double v;
    int32_t status = SPLGR_ReadChannelValues(handle, 0, 0);
    if (status == 0)
      status = SPLGR_GetChannelValue(handle, 0, &v);
    char text[SPECTRUM_TEXT_SIZE];
    SPUTL_FormatStatusCode(status, text);
    return std::string(text).find("for 1 s: Connection refused") != std::string::npos;
  }));
  EXPECT_EQ(1u, countOccurrences(out, "Connection refused")) << out;
}

} // namespace
