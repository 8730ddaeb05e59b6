// Housing sensors on the simulated logger library and a port file.
#include "app/Configuration.h"
#include "app/HousingSensor.h"
#include "framework/ErrorHandler.h"
#include "tests/support/TestUtil.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using ::testing::HasSubstr;
using ::testing::Not;
using tmx::test::printedBy;
using tmx::test::ScopedEnv;
using tmx::test::TempDir;

namespace {

constexpr const char *spectro = "Spectrograph Housing";

class Housing : public ::testing::Test
{
protected:
  void SetUp() override
  {
    sim("logger 0 TMX-S1 18.25 41.0\n"
        "logger 1 TMX-E1 24.10 35.5\n"
        "logger 2 TMX-S1 12.00 50.0\n"
        "logger 3 TMX-S1 13.00 51.0\n");
    port(0xFF, 0xFF);
  }

  void sim(const std::string &text) { dir_.write("sim.txt", text); }
  // Status registers of LPT1 (0x379) and of the port at 0x3bc (0x3bd).
  void port(unsigned char s379, unsigned char s3bd)
  {
    std::string bytes(0x400, '\xFF');
    bytes[0x379] = static_cast<char>(s379);
    bytes[0x3bd] = static_cast<char>(s3bd);
    dir_.write("port", bytes);
  }
  Configuration *config(const std::string &text)
  {
    dir_.write("tmx.cfg", text);
    config_ = std::make_unique<AppConfiguration>();
    EXPECT_EQ(1, config_->initialize("tmx.cfg"));
    return config_.get();
  }
  // Initializes sensor for TMX-S1 on that simulation file and samples it
  // once into r; what it printed in out.
  void sampleOnce(const std::string &simText, HousingSensor &sensor, HousingReading &r, std::string &out)
  {
    sim(simText);
    ASSERT_EQ(0, sensor.initialize("TMX-S1", nullptr));
    out = printedBy([&] { sensor.sample(r); });
  }
  TempDir dir_;
  ScopedEnv simEnv_{ "TMX_LOGGER_SIM", dir_.file("sim.txt") };
  ScopedEnv portEnv_{ "TMX_PORT_DEVICE", dir_.file("port") };
  ScopedEnv configEnv_{ "TMX_CONFIG_DIR", dir_.path() };
  std::unique_ptr<Configuration> config_;
};

TEST_F(Housing, NoConfigurationLineUsesTheDefaults)
{
  for (Configuration *cfg : { static_cast<Configuration *>(nullptr), config("TMX-E1 V3.5-Beta3 1\n") }) {
    HousingSensor sensor(spectro);
    EXPECT_EQ(0, sensor.initialize("TMX-S1", cfg));
    EXPECT_TRUE(sensor.logger().initialized());
    EXPECT_EQ(0, sensor.logger().readArgument());
    EXPECT_EQ(0u, sensor.logger().readOption());
    EXPECT_EQ(0x378u, sensor.portAddress());
    EXPECT_EQ(0x40u, sensor.waterMask());
    double t = 0;
    EXPECT_EQ(0, sensor.logger().readTemperature(t));
    EXPECT_DOUBLE_EQ(18.25, t);
  }
}

TEST_F(Housing, TwoValuesGiveVersionAndReadArgumentOnly)
{
  sim("version V4-Site\nlogger 2 TMX-S1 12.00 50.0\n");
  HousingSensor sensor(spectro);
  EXPECT_EQ(0, sensor.initialize("TMX-S1", config("TMX-S1 V4-Site 2\n")));
  EXPECT_EQ(2, sensor.logger().readArgument());
  EXPECT_EQ(0x378u, sensor.portAddress());
  EXPECT_EQ(0x40u, sensor.waterMask());
}

TEST_F(Housing, ThreeOrFiveValuesKeepPortAndMaskDefaults)
{
  for (const char *line : { "TMX-S1 V3.5-Beta3 3 0x3bc\n", "TMX-S1 V3.5-Beta3 3 0x3bc 0x20 0x1\n" }) {
    HousingSensor sensor(spectro);
    EXPECT_EQ(0, sensor.initialize("TMX-S1", config(line)));
    EXPECT_EQ(3, sensor.logger().readArgument()) << line;
    EXPECT_EQ(0x378u, sensor.portAddress()) << line;
    EXPECT_EQ(0x40u, sensor.waterMask()) << line;
  }
}

TEST_F(Housing, ReadArgumentIsReadLikeAtoi)
{
  HousingSensor sensor(spectro);
  sensor.initialize("TMX-S1", config("TMX-S1 V3.5-Beta3 2abc\n"));
  EXPECT_EQ(2, sensor.logger().readArgument());
  sensor.initialize("TMX-S1", config("TMX-S1 V3.5-Beta3 abc\n"));
  EXPECT_EQ(0, sensor.logger().readArgument());
}

TEST_F(Housing, PortAndMaskFromTheConfiguration)
{
  for (const char *line : { "TMX-S1 V3.5-Beta3 0 0x3bc 0x20 # lpt2\n", "TMX-S1 V3.5-Beta3 0 0X3BC 0X20\n" }) {
    HousingSensor sensor(spectro);
    sensor.initialize("TMX-S1", config(line));
    EXPECT_EQ(0x3bcu, sensor.portAddress()) << line;
    EXPECT_EQ(0x20u, sensor.waterMask()) << line;
    // The register at 0x3bd decides through bit 5; LPT1's does not count.
    port(0xBF, 0xFF);
    EXPECT_EQ(0, sensor.readWater());
    port(0xFF, 0xDF);
    EXPECT_EQ(1, sensor.readWater());
  }
  // A value in neither hexadecimal form leaves the default.
  HousingSensor sensor(spectro);
  sensor.initialize("TMX-S1", config("TMX-S1 V3.5-Beta3 0 3bc x20\n"));
  EXPECT_EQ(0x378u, sensor.portAddress());
  EXPECT_EQ(0x40u, sensor.waterMask());
  sensor.initialize("TMX-S1", config("TMX-S1 V3.5-Beta3 0 0x3bc junk\n"));
  EXPECT_EQ(0x3bcu, sensor.portAddress());
  EXPECT_EQ(0x40u, sensor.waterMask());
}

TEST_F(Housing, PortBelow0x278HasNoWaterSensor)
{
  HousingSensor sensor(spectro);
  sensor.initialize("TMX-S1", config("TMX-S1 V3.5-Beta3 0 0x0 0x40\n"));
  EXPECT_EQ(0u, sensor.portAddress());
  // The port is never touched: a missing device is no error.
  std::remove(dir_.file("port").c_str());
  std::string out = printedBy([&] { EXPECT_EQ(0, sensor.readWater()); });
  EXPECT_EQ("", out);
  sensor.initialize("TMX-S1", config("TMX-S1 V3.5-Beta3 0 0x277 0x40\n"));
  EXPECT_EQ(0, sensor.readWater());
}

TEST_F(Housing, WetAndDryStatusBytes)
{
  HousingSensor sensor(spectro);
  sensor.initialize("TMX-S1", nullptr);
  port(0xBF, 0xFF);
  EXPECT_EQ(1, sensor.readWater());
  port(0xFF, 0xFF);
  EXPECT_EQ(0, sensor.readWater());
}

TEST_F(Housing, StatusByteIsSignExtendedBeforeTheMask)
{
  HousingSensor sensor(spectro);
  sensor.initialize("TMX-S1", config("TMX-S1 V3.5-Beta3 0 0x378 0x100\n"));
  port(0xBF, 0xFF); // top bit set: copied upwards, bit 8 set: dry
  EXPECT_EQ(0, sensor.readWater());
  port(0x7F, 0xFF); // top bit clear: bit 8 clear: wet
  EXPECT_EQ(1, sensor.readWater());
}

TEST_F(Housing, BothHousingsShareOneLineWithoutConfiguration)
{
  // Lines with version and read argument only: the ports stay default.
  HousingSensor s1(spectro), e1("Electronics Housing");
  Configuration *cfg = config("TMX-E1 V3.5-Beta3 1\n");
  EXPECT_EQ(0, s1.initialize("TMX-S1", cfg));
  EXPECT_EQ(0, e1.initialize("TMX-E1", cfg));
  EXPECT_EQ(s1.portAddress(), e1.portAddress());
  EXPECT_EQ(s1.waterMask(), e1.waterMask());
  port(0xBF, 0xFF);
  HousingReading a, b;
  EXPECT_EQ(1, s1.sample(a));
  EXPECT_EQ(1, e1.sample(b));
  EXPECT_EQ(1, a.waterAlarm);
  EXPECT_EQ(1, b.waterAlarm);
}

TEST_F(Housing, UnreadablePortReadsDryAndIsReported)
{
  HousingSensor sensor(spectro);
  sensor.initialize("TMX-S1", nullptr);
  std::string port = dir_.file("port");
  std::remove(port.c_str());
  std::string out = printedBy([&] {
    EXPECT_EQ(0, sensor.readWater());
    EXPECT_EQ(0, sensor.readWater());
  });
  EXPECT_THAT(out, HasSubstr("ERROR: Cannot read port 0x379 from " + port));
  EXPECT_EQ(out.find("ERROR"), out.rfind("ERROR")) << out;
}

TEST_F(Housing, VersionMismatch)
{
  sim("version V3.6\nlogger 0 TMX-S1 18.25 41.0\n");
  HousingSensor sensor(spectro);
  std::string out = printedBy([&] { EXPECT_EQ(-1, sensor.initialize("TMX-S1", nullptr)); });
  EXPECT_EQ("ERROR: Invalid API version detected\n", out);
  EXPECT_FALSE(sensor.logger().initialized());

  // The configuration names the version the library must report.
  out = printedBy([&] { EXPECT_EQ(0, sensor.initialize("TMX-S1", config("TMX-S1 V3.6 0\n"))); });
  EXPECT_EQ("", out);
  sim("logger 0 TMX-S1 18.25 41.0\n");
  out = printedBy([&] { EXPECT_EQ(-1, sensor.initialize("TMX-S1", config("TMX-S1 V3.6 0\n"))); });
  EXPECT_EQ("ERROR: Invalid API version detected\n", out);
}

TEST_F(Housing, DescriptionMismatch)
{
  sim("logger 0 TMX-E1 24.10 35.5\n");
  HousingSensor sensor(spectro);
  std::string out = printedBy([&] { EXPECT_EQ(-1, sensor.initialize("TMX-S1", nullptr)); });
  EXPECT_EQ("ERROR: Invalid description detected\n", out);
  // Never initialised: every reading is -1.0, and the port is still set up.
  HousingReading r;
  r.temperature = r.humidity = 7;
  out = printedBy([&] { sensor.sample(r); });
  EXPECT_DOUBLE_EQ(-1.0, r.temperature);
  EXPECT_DOUBLE_EQ(-1.0, r.humidity);
  EXPECT_EQ("Sampling temp for Spectrograph Housing\nSampling relative humidity for Spectrograph Housing\n",
            out);
  double v = 5;
  EXPECT_EQ(-1, sensor.logger().readChannel(0, v));
  EXPECT_DOUBLE_EQ(5, v);
}

TEST_F(Housing, SampleTracesValuesWithUnits)
{
  HousingSensor sensor(spectro);
  ASSERT_EQ(0, sensor.initialize("TMX-S1", nullptr));
  HousingReading r;
  std::string out = printedBy([&] { EXPECT_EQ(0, sensor.sample(r)); });
  EXPECT_EQ("Sampling temp for Spectrograph Housing\n"
            "       18.25 degC\n"
            "Sampling relative humidity for Spectrograph Housing\n"
            "       41.00 %RH \n",
            out);
  EXPECT_DOUBLE_EQ(18.25, r.temperature);
  EXPECT_DOUBLE_EQ(41.0, r.humidity);
  EXPECT_EQ(0, r.waterAlarm);

  // Each read refreshes the logger's values.
  sim("logger 0 TMX-S1 -5.126 99.999\n");
  out = printedBy([&] { sensor.sample(r); });
  EXPECT_THAT(out, HasSubstr("\n       -5.13 degC\n"));
  EXPECT_THAT(out, HasSubstr("\n      100.00 %RH \n"));

  // Outside the band nothing is traced.
  int saved = traceLevel;
  traceLevel = 0;
  out = printedBy([&] { sensor.sample(r); });
  traceLevel = saved;
  EXPECT_EQ("", out);
  EXPECT_DOUBLE_EQ(-5.126, r.temperature);
}

TEST_F(Housing, HugeValuesAreTracedWhole)
{
  sim("logger 0 TMX-S1 -1e300 41.0\n");
  HousingSensor sensor(spectro);
  ASSERT_EQ(0, sensor.initialize("TMX-S1", nullptr));
  double t = 0;
  std::string out = printedBy([&] { EXPECT_EQ(0, sensor.logger().readTemperature(t)); });
  ASSERT_EQ(1u + 301u + 3u + 5u + 1u, out.size()) << out;
  EXPECT_EQ("-1", out.substr(0, 2));
  EXPECT_EQ(".00 degC\n", out.substr(out.size() - 9));
}

TEST_F(Housing, DisabledTemperatureChannelPrintsNoValueLine)
{
  HousingSensor sensor(spectro);
  HousingReading r;
  std::string out;
  ASSERT_NO_FATAL_FAILURE(sampleOnce("logger 0 TMX-S1 off 41.0\n", sensor, r, out));
  EXPECT_EQ("Sampling temp for Spectrograph Housing\n"
            "Sampling relative humidity for Spectrograph Housing\n"
            "       41.00 %RH \n",
            out);
  EXPECT_DOUBLE_EQ(-1.0, r.temperature);
  EXPECT_DOUBLE_EQ(41.0, r.humidity);
}

TEST_F(Housing, FailingChannelGivesMinusOneAndIsReported)
{
  HousingSensor sensor(spectro);
  HousingReading r;
  std::string out;
  ASSERT_NO_FATAL_FAILURE(sampleOnce("logger 0 TMX-S1 fail 41.0\n", sensor, r, out));
  EXPECT_THAT(out, HasSubstr("ERROR: temperature channel of logger TMX-S1 failed to read\n"));
  EXPECT_DOUBLE_EQ(-1.0, r.temperature);
  EXPECT_DOUBLE_EQ(41.0, r.humidity);
  double v = 3;
  printedBy([&] { EXPECT_GT(sensor.logger().readChannel(0, v), 0); });
  EXPECT_DOUBLE_EQ(3, v);
  EXPECT_NE(0, sensor.logger().lastStatus());
}

TEST_F(Housing, LibraryFailuresAreReportedAndReturned)
{
  // No simulation file: the library's status (never -1) comes back and its
  // text, naming the file, is reported.
  std::string simPath = dir_.file("sim.txt");
  std::remove(simPath.c_str());
  HousingSensor sensor(spectro);
  int32_t result = 0;
  std::string out =
    printedBy([&] { result = sensor.initialize("TMX-S1", config("TMX-S1 V3.5-Beta3 0 0x3bc 0x20\n")); });
  EXPECT_GT(result, 0);
  EXPECT_THAT(out, HasSubstr("ERROR: logger simulation file " + simPath + " cannot be read"));
  EXPECT_FALSE(sensor.logger().initialized());
  // The port settings are read even though the logger failed.
  EXPECT_EQ(0x3bcu, sensor.portAddress());

  // A malformed file names the file and line.
  sim("logger 0 TMX-S1 18.25 41.0\nlogger zero TMX-E1 1 2\n");
  out = printedBy([&] { result = sensor.initialize("TMX-S1", nullptr); });
  EXPECT_GT(result, 0);
  EXPECT_THAT(out, HasSubstr("ERROR: logger simulation file " + simPath + " line 2: "));

  // A logger that disappears while running: reported, -1.0.
  sim("logger 0 TMX-S1 18.25 41.0\n");
  ASSERT_EQ(0, sensor.initialize("TMX-S1", nullptr));
  sim("logger 5 TMX-S1 18.25 41.0\n");
  HousingReading r;
  out = printedBy([&] { sensor.sample(r); });
  EXPECT_THAT(out, HasSubstr("ERROR: no logger with read argument 0"));
  EXPECT_DOUBLE_EQ(-1.0, r.temperature);
  EXPECT_DOUBLE_EQ(-1.0, r.humidity);
}

} // namespace
