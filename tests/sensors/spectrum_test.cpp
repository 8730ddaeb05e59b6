// libspectrum: the simulated data loggers behind the C interface.
#include "platform/spectrum/Spectrum.h"
#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using tmx::test::ScopedEnv;
using tmx::test::TempDir;

namespace {

std::string statusText(int32_t status)
{
  char text[SPECTRUM_TEXT_SIZE];
  EXPECT_EQ(0, SPUTL_FormatStatusCode(status, text));
  return text;
}

uint32_t newLogger()
{
  uint32_t handle = 0;
  EXPECT_EQ(0, SPLGR_CreateLoggerObject(&handle));
  return handle;
}

struct Reading
{
  int enabled = -1;
  int32_t valueStatus = -1;
  double value = 0;
  std::string units;
};

Reading channel(uint32_t handle, int32_t ch)
{
  Reading r;
  EXPECT_EQ(0, SPLGR_GetChannelEnabled(handle, ch, &r.enabled));
  r.valueStatus = SPLGR_GetChannelValue(handle, ch, &r.value);
  char units[SPECTRUM_UNITS_SIZE] = {};
  EXPECT_EQ(0, SPLGR_GetChannelUnits(handle, ch, units));
  r.units = units;
  return r;
}

std::string description(uint32_t handle)
{
  char text[SPECTRUM_TEXT_SIZE] = {};
  EXPECT_EQ(0, SPLGR_GetDescription(handle, text));
  return text;
}

std::string version()
{
  char text[SPECTRUM_TEXT_SIZE] = {};
  EXPECT_EQ(0, SPAPI_GetApiVersion(text));
  return text;
}

class Spectrum : public ::testing::Test
{
protected:
  void useSim(const std::string &text) { path_ = dir_.write("sim.txt", text); }

  TempDir dir_;
  std::string path_ = dir_.file("sim.txt");
  ScopedEnv env_{ "TMX_LOGGER_SIM", path_ };
};

TEST_F(Spectrum, SimulatesLoggersFromTheFile)
{
  useSim("# two housings\n"
         "\n"
         "version V9.9-Test\r\n"
         "logger 1 TMX-S1 18.25 41.0\n"
         "   logger 2 TMX-E1 -3.5e1 35.5\n");
  EXPECT_EQ("V9.9-Test", version());
  EXPECT_EQ(0, SPAPI_SetProtocol(0));

  uint32_t s1 = newLogger(), e1 = newLogger();
  EXPECT_NE(s1, e1);
  ASSERT_EQ(0, SPLGR_ReadChannelValues(s1, 1, 0));
  ASSERT_EQ(0, SPLGR_ReadChannelValues(e1, 2, 0));
  EXPECT_EQ("TMX-S1", description(s1));
  EXPECT_EQ("TMX-E1", description(e1));

  Reading t = channel(s1, 0), h = channel(s1, 1);
  EXPECT_EQ(1, t.enabled);
  EXPECT_EQ(0, t.valueStatus);
  EXPECT_DOUBLE_EQ(18.25, t.value);
  EXPECT_EQ("degC", t.units);
  EXPECT_DOUBLE_EQ(41.0, h.value);
  EXPECT_EQ("%RH", h.units);
  EXPECT_DOUBLE_EQ(-35.0, channel(e1, 0).value);
}

TEST_F(Spectrum, DefaultVersionWithoutVersionLineOrFile)
{
  useSim("logger 1 TMX-S1 18.25 41.0\n");
  EXPECT_EQ("V3.5-Beta3", version());
  std::remove(path_.c_str());
  EXPECT_EQ("V3.5-Beta3", version());
}

TEST_F(Spectrum, OffAndFailChannels)
{
  useSim("logger 0 TMX-S1 off fail\n");
  uint32_t handle = newLogger();
  ASSERT_EQ(0, SPLGR_ReadChannelValues(handle, 0, 0));
  Reading t = channel(handle, 0), h = channel(handle, 1);
  EXPECT_EQ(0, t.enabled);
  EXPECT_NE(0, t.valueStatus);
  EXPECT_EQ(1, h.enabled);
  ASSERT_NE(0, h.valueStatus);
  EXPECT_NE(std::string::npos, statusText(h.valueStatus).find("humidity channel of logger TMX-S1 failed"));
}

TEST_F(Spectrum, FailuresHaveReadableTexts)
{
  uint32_t handle = newLogger();
  // No file.
  int32_t status = SPLGR_ReadChannelValues(handle, 1, 0);
  ASSERT_NE(0, status);
  EXPECT_NE(std::string::npos, statusText(status).find(path_)) << statusText(status);

  // No logger with that read argument; channel queries then fail too.
  useSim("logger 1 TMX-S1 1 2\n");
  status = SPLGR_ReadChannelValues(handle, 7, 0);
  ASSERT_NE(0, status);
  EXPECT_NE(std::string::npos, statusText(status).find("read argument 7")) << statusText(status);
  int enabled;
  EXPECT_NE(0, SPLGR_GetChannelEnabled(handle, 0, &enabled));
  char text[SPECTRUM_TEXT_SIZE];
  EXPECT_NE(0, SPLGR_GetDescription(handle, text));

  // Bad handle, bad channel, bad protocol, null buffers.
  EXPECT_NE(0, SPLGR_ReadChannelValues(0, 1, 0));
  EXPECT_NE(0, SPLGR_ReadChannelValues(handle + 1000, 1, 0));
  ASSERT_EQ(0, SPLGR_ReadChannelValues(handle, 1, 0));
  status = SPLGR_GetChannelEnabled(handle, 2, &enabled);
  EXPECT_NE(0, status);
  EXPECT_NE(std::string::npos, statusText(status).find("channel 2"));
  EXPECT_NE(0, SPAPI_SetProtocol(1));
  EXPECT_NE(0, SPAPI_GetApiVersion(nullptr));
  EXPECT_NE(0, SPLGR_CreateLoggerObject(nullptr));
  EXPECT_NE(0, SPLGR_GetChannelValue(handle, 0, nullptr));

  EXPECT_EQ("success", statusText(0));
  EXPECT_EQ("unknown logger library status 424242", statusText(424242));
  // -1 never comes from the library: callers read it as their own failure.
  EXPECT_EQ("unknown logger library status -1", statusText(-1));
}

TEST_F(Spectrum, UnsetVariableIsAStatus)
{
  ::unsetenv("TMX_LOGGER_SIM");
  uint32_t handle = newLogger();
  int32_t status = SPLGR_ReadChannelValues(handle, 1, 0);
  ASSERT_NE(0, status);
  EXPECT_NE(std::string::npos, statusText(status).find("TMX_LOGGER_SIM"));
}

TEST_F(Spectrum, MalformedLinesNameFileAndLine)
{
  const char *bad[] = {
    "logger 1 TMX-S1 18.25\n",          // too few fields
    "logger 1 TMX-S1 18.25 41 extra\n", // too many
    "logger one TMX-S1 18.25 41\n",     // read argument not a number
    "logger 99999999999 TMX-S1 1 2\n",  // out of range
    "logger 1 TMX-S1 warm 41\n",        // value neither number, off nor fail
    "logger 1 TMX-S1 nan 41\n",         // not finite
    "logger 1 TMX-S1 1 2x\n",           // trailing garbage
    "logger 2 TMX-S1 1 2\n",            // read argument used twice
    "version\n",                        // no text
    "sensor 1 TMX-S1 1 2\n",            // unknown keyword
  };
  for (const char *line : bad) {
    useSim("# header\nlogger 2 TMX-E1 1 2\n" + std::string(line));
    uint32_t handle = newLogger();
    int32_t status = SPLGR_ReadChannelValues(handle, 2, 0);
    ASSERT_NE(0, status) << line;
    std::string text = statusText(status);
    EXPECT_NE(std::string::npos, text.find(path_ + " line 3")) << line << " -> " << text;
    char v[SPECTRUM_TEXT_SIZE];
    EXPECT_EQ(status, SPAPI_GetApiVersion(v)) << line;
  }
  // Mended file: works again.
  useSim("logger 2 TMX-E1 1 2\n");
  EXPECT_EQ(0, SPLGR_ReadChannelValues(newLogger(), 2, 0));
}

TEST_F(Spectrum, BinaryGarbageIsMalformedNotACrash)
{
  std::string junk;
  for (int i = 0; i < 2000; ++i)
    junk += static_cast<char>((i * 37 + 11) % 256);
  useSim(junk);
  EXPECT_NE(0, SPLGR_ReadChannelValues(newLogger(), 1, 0));
  useSim(std::string("logger 1 ") + std::string(300, 'D') + " 1 2\n");
  EXPECT_NE(0, SPLGR_ReadChannelValues(newLogger(), 1, 0));
}

TEST_F(Spectrum, ReReadsTheFileWhenItChanges)
{
  useSim("logger 1 TMX-S1 18.25 41.0\n");
  uint32_t handle = newLogger();
  ASSERT_EQ(0, SPLGR_ReadChannelValues(handle, 1, 0));
  EXPECT_DOUBLE_EQ(18.25, channel(handle, 0).value);

  // Replaced by rename (new inode), same size.
  std::string next = dir_.write("next.txt", "logger 1 TMX-S1 19.25 41.0\n");
  ASSERT_EQ(0, std::rename(next.c_str(), path_.c_str()));
  ASSERT_EQ(0, SPLGR_ReadChannelValues(handle, 1, 0));
  EXPECT_DOUBLE_EQ(19.25, channel(handle, 0).value);

  // Rewritten in place, same size: the changed time stamp tells.
  {
    std::FILE *f = std::fopen(path_.c_str(), "r+");
    ASSERT_NE(nullptr, f);
    std::fputs("logger 1 TMX-S1 20.25 off \n", f);
    std::fclose(f);
    struct timespec times[2] = { { 0, UTIME_OMIT }, { 1000000000, 0 } };
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, path_.c_str(), times, 0));
  }
  ASSERT_EQ(0, SPLGR_ReadChannelValues(handle, 1, 0));
  EXPECT_DOUBLE_EQ(20.25, channel(handle, 0).value);
  EXPECT_EQ(0, channel(handle, 1).enabled);

  // Values are a snapshot of the last read: a change shows on the next read.
  dir_.write("sim.txt", "logger 1 TMX-S1 21.5 41.0\n");
  EXPECT_DOUBLE_EQ(20.25, channel(handle, 0).value);
  ASSERT_EQ(0, SPLGR_ReadChannelValues(handle, 1, 0));
  EXPECT_DOUBLE_EQ(21.5, channel(handle, 0).value);
}

TEST_F(Spectrum, ConcurrentReadersWhileTheFileChanges)
{
  useSim("logger 1 TMX-S1 1 2\nlogger 2 TMX-E1 3 4\n");
  std::atomic<bool> failed{ false };
  auto reader = [&](int32_t arg) {
    uint32_t handle = newLogger();
    for (int i = 0; i < 300; ++i) {
      double v = 0;
      if (SPLGR_ReadChannelValues(handle, arg, 0) != 0 || SPLGR_GetChannelValue(handle, 1, &v) != 0)
        failed = true;
    }
  };
  std::thread a(reader, 1), b(reader, 2);
  for (int i = 0; i < 50; ++i) {
    std::string next =
      dir_.write("next.txt", "logger 1 TMX-S1 " + std::to_string(i) + " 2\nlogger 2 TMX-E1 3 4\n");
    std::rename(next.c_str(), path_.c_str());
  }
  a.join();
  b.join();
  EXPECT_FALSE(failed);
}

TEST_F(Spectrum, TmxLoggersNamesTheFileBeforeTheOlderVariable)
{
  useSim("logger 1 A 1 2\n");
  ScopedEnv loggers("TMX_LOGGERS", dir_.write("loggers", "logger 1 A modbus-tcp host=h\n"));
  int32_t status = SPLGR_ReadChannelValues(newLogger(), 1, 0);
  ASSERT_EQ(SPSTATUS_SIM_MALFORMED, status);
  EXPECT_NE(std::string::npos,
            statusText(status).find("loggers file " + dir_.file("loggers") + " line 1: no channel"))
    << statusText(status);
}

} // namespace
