// The port reader: bytes of $TMX_PORT_DEVICE, dry 0xFF and one report per
// failure spell of each port.
#include "platform/dlportio/DlPortIO.h"
#include "tests/sensors/PortReports.h"
#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using tmx::test::ScopedEnv;
using tmx::test::TempDir;

namespace {

std::string portFile(unsigned char status379, std::size_t size = 0x400)
{
  std::string bytes(size, '\xFF');
  bytes[0x379] = static_cast<char>(status379);
  bytes[0x3bd] = '\x12';
  return bytes;
}

class DlPort : public tmx::test::PortReportsTest
{
protected:
  void SetUp() override
  {
    PortReportsTest::SetUp();
    // Leave any failure spell of an earlier test behind.
    dir_.write("port", portFile(0xFF, 0x10000));
    for (std::uint32_t port : { 0x0, 0x379, 0x5000, 0x9000, 0x4279 })
      DlPortReadPortUchar(port);
    dir_.write("port", portFile(0xFF));
    takeReports();
  }

  TempDir dir_;
  std::string path_ = dir_.file("port");
  ScopedEnv env_{ "TMX_PORT_DEVICE", path_ };
};

TEST_F(DlPort, ReadsTheByteAtThePortOffset)
{
  dir_.write("port", portFile(0xBF));
  EXPECT_EQ(0xBF, DlPortReadPortUchar(0x379));
  EXPECT_EQ(0x12, DlPortReadPortUchar(0x3bd));
  EXPECT_EQ(0xFF, DlPortReadPortUchar(0x378));
  // Changes show at once (the file is opened per read).
  dir_.write("port", portFile(0x7F));
  EXPECT_EQ(0x7F, DlPortReadPortUchar(0x379));
  EXPECT_TRUE(takeReports().empty());
}

TEST_F(DlPort, UnreadablePortReadsDryAndIsReportedOncePerSpell)
{
  std::remove(path_.c_str());
  EXPECT_EQ(0xFF, DlPortReadPortUchar(0x379));
  EXPECT_EQ(0xFF, DlPortReadPortUchar(0x379));
  std::vector<std::string> r = takeReports();
  ASSERT_EQ(1u, r.size());
  EXPECT_NE(std::string::npos, r[0].find(path_)) << r[0];
  EXPECT_NE(std::string::npos, r[0].find("0x379")) << r[0];

  // Recovered: real values, no report.
  dir_.write("port", portFile(0xBF));
  EXPECT_EQ(0xBF, DlPortReadPortUchar(0x379));
  EXPECT_TRUE(takeReports().empty());

  // Fails anew: reported again. A port past the end of the file counts.
  EXPECT_EQ(0xFF, DlPortReadPortUchar(0x5000));
  EXPECT_EQ(0xFF, DlPortReadPortUchar(0x5000));
  r = takeReports();
  ASSERT_EQ(1u, r.size());
  EXPECT_NE(std::string::npos, r[0].find(path_));
}

TEST_F(DlPort, EachPortIsReportedOnceUntilThatPortReadsAgain)
{
  // Two housings: one on a readable port, one beyond the end of the file.
  constexpr std::uint32_t good = 0x379, bad = 0x4279;
  dir_.write("port", portFile(0xBF));
  for (int pass = 0; pass < 5; ++pass) {
    EXPECT_EQ(0xBF, DlPortReadPortUchar(good));
    EXPECT_EQ(0xFF, DlPortReadPortUchar(bad));
  }
  std::vector<std::string> r = takeReports();
  ASSERT_EQ(1u, r.size()) << "the readable port does not end the other's spell";
  EXPECT_NE(std::string::npos, r[0].find("0x4279")) << r[0];

  // Both unreadable: the second port's failure is its own, reported once.
  std::remove(path_.c_str());
  for (int pass = 0; pass < 5; ++pass) {
    DlPortReadPortUchar(good);
    DlPortReadPortUchar(bad);
  }
  r = takeReports();
  ASSERT_EQ(1u, r.size());
  EXPECT_NE(std::string::npos, r[0].find("0x379")) << r[0];

  // Each port that reads again ends its own spell only.
  dir_.write("port", portFile(0xBF, 0x5000));
  EXPECT_EQ(0xFF, DlPortReadPortUchar(bad));
  dir_.write("port", portFile(0xBF));
  EXPECT_EQ(0xFF, DlPortReadPortUchar(bad));
  EXPECT_EQ(0xBF, DlPortReadPortUchar(good));
  r = takeReports();
  ASSERT_EQ(1u, r.size()) << "only the port that had read again";
  EXPECT_NE(std::string::npos, r[0].find("0x4279")) << r[0];
}

TEST_F(DlPort, ConcurrentReaders)
{
  dir_.write("port", portFile(0xBF));
  auto reader = [] {
    for (int i = 0; i < 500; ++i)
      DlPortReadPortUchar(i % 2 ? 0x379 : 0x9000);
  };
  std::thread a(reader), b(reader);
  a.join();
  b.join();
  EXPECT_FALSE(takeReports().empty());
}

// A parallel port's ppdev device (made here with the ppdev major, 99, and a
// port number no machine has) is not read as a file: only its status
// register is asked for, through the device.
TEST_F(DlPort, PpdevDeviceHasOnlyItsStatusRegister)
{
  std::string device = dir_.file("parport200");
  if (::mknod(device.c_str(), S_IFCHR | 0600, makedev(99, 200)) != 0)
    GTEST_SKIP() << "cannot make a device node here (needs root and a filesystem without nodev)";
  ScopedEnv env("TMX_PORT_DEVICE", device);
  EXPECT_EQ(0xFF, DlPortReadPortUchar(0x37a));
  EXPECT_EQ(0xFF, DlPortReadPortUchar(0x379));
  auto seen = takeReports();
  ASSERT_EQ(2u, seen.size());
  EXPECT_EQ("Cannot read port 0x37a from " + device +
              ": a parallel port device has only its status register (port 0x379)",
            seen[0]);
  EXPECT_EQ(0u, seen[1].find("Cannot read port 0x379 from " + device + ": ")) << seen[1];
  EXPECT_EQ(std::string::npos, seen[1].find("end of file")) << seen[1];
}

} // namespace
