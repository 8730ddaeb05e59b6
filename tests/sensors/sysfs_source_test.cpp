// hwmon and IIO sensors read from a fake sysfs tree.
#include "platform/spectrum/Source.h"
#include "tests/support/TestUtil.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using ::testing::HasSubstr;
using namespace spectrum;
namespace fs = std::filesystem;

namespace {

class Sysfs : public ::testing::Test
{
protected:
  // Writes root/path with text, making its folders.
  void put(const std::string &path, const std::string &text)
  {
    fs::path p = fs::path(dir_.path()) / path;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text << "\n";
  }
  // An hwmon device hwmonN named `name`, its device link to devices/`bus`.
  void hwmon(int n, const std::string &name, const std::string &bus, int milliC, int milliRh)
  {
    std::string d = "class/hwmon/hwmon" + std::to_string(n);
    put(d + "/name", name);
    put(d + "/temp1_input", std::to_string(milliC));
    put(d + "/humidity1_input", std::to_string(milliRh));
    put("devices/" + bus + "/uevent", "");
    fs::create_directory_symlink(fs::path(dir_.path()) / "devices" / bus,
                                 fs::path(dir_.path()) / d / "device");
  }
  // Reads the one logger of `line` (sources of this root).
  void read(const std::string &line, Reading out[channelCount])
  {
    LoggersFile file;
    unsigned badLine = 0;
    std::string problem;
    ASSERT_TRUE(parseLoggers(line + "\n", dir_.path(), file, badLine, problem)) << problem;
    makeSysfsSource(file.loggers)->read(0, out);
  }

  tmx::test::TempDir dir_;
};

TEST_F(Sysfs, HwmonAndIioInBothForms)
{
  hwmon(3, "sht3x", "i2c-1/1-0044", 21500, 102300);
  // IIO: temperature from raw, offset and scale; humidity processed.
  put("bus/iio/devices/iio:device0/name", "si7020");
  put("bus/iio/devices/iio:device0/in_temp_raw", "6000");
  put("bus/iio/devices/iio:device0/in_temp_offset", "-4368");
  put("bus/iio/devices/iio:device0/in_temp_scale", "10.725");
  put("bus/iio/devices/iio:device0/in_humidityrelative_input", "45678");
  // Shared scale, no offset.
  put("bus/iio/devices/iio:device1/name", "hdc100x");
  put("bus/iio/devices/iio:device1/in_temp_raw", "250");
  put("bus/iio/devices/iio:device1/in_humidityrelative_raw", "400");
  put("bus/iio/devices/iio:device1/in_scale", "100");

  Reading h[channelCount], i[channelCount], s[channelCount];
  read("logger 1 A hwmon name=sht3x", h);
  ASSERT_TRUE(h[0].ok && h[1].ok) << h[0].reason << h[1].reason;
  EXPECT_DOUBLE_EQ(21.5, h[0].value);
  EXPECT_DOUBLE_EQ(100.0, h[1].value); // beyond its range: clamped
  read("logger 1 A iio name=si7020", i);
  ASSERT_TRUE(i[0].ok && i[1].ok) << i[0].reason << i[1].reason;
  EXPECT_NEAR(17.5032, i[0].value, 1e-9);
  EXPECT_DOUBLE_EQ(45.678, i[1].value);
  read("logger 1 A iio name=hdc100x", s);
  EXPECT_DOUBLE_EQ(25.0, s[0].value);
  EXPECT_DOUBLE_EQ(40.0, s[1].value);
}

TEST_F(Sysfs, DevicesOfTheSameNameArePickedByPath)
{
  hwmon(0, "sht31", "i2c-1/1-0044", 20000, 40000);
  hwmon(1, "sht31", "i2c-1/1-0045", 30000, 50000);
  Reading both[channelCount], one[channelCount], none[channelCount];
  read("logger 1 A hwmon name=sht31", both);
  EXPECT_FALSE(both[0].ok);
  EXPECT_THAT(both[0].reason, HasSubstr("2 hwmon devices named sht31 (choose one with path=)"));
  EXPECT_THAT(both[1].reason, HasSubstr("1-0045"));
  read("logger 1 A hwmon name=sht31 path=1-0045", one);
  EXPECT_DOUBLE_EQ(30.0, one[0].value);
  read("logger 1 A hwmon name=sht31 path=2-0044", none);
  EXPECT_THAT(none[0].reason, HasSubstr("no hwmon device named sht31 at 2-0044"));
}

TEST_F(Sysfs, AFailedReadIsAFailedChannelWithTheReason)
{
  put("class/hwmon/hwmon0/name", "sht3x");
  // A directory where the value should be: read() fails (EISDIR), as it
  // fails with EIO when a driver's bus transfer does.
  fs::create_directories(fs::path(dir_.path()) / "class/hwmon/hwmon0/temp1_input");
  put("class/hwmon/hwmon0/humidity1_input", "garbage");
  Reading r[channelCount];
  read("logger 1 A hwmon name=sht3x", r);
  EXPECT_FALSE(r[0].ok);
  EXPECT_THAT(r[0].reason, HasSubstr("temp1_input: Is a directory"));
  EXPECT_FALSE(r[1].ok);
  EXPECT_THAT(r[1].reason, HasSubstr("humidity1_input: not a number: garbage"));
}

} // namespace
