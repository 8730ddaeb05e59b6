// Water lines mapped to Modbus inputs ($TMX_PORT_MAP) through the port
// reader, against a real Modbus TCP server on the loopback.
#include "platform/dlportio/DlPortIO.h"
#include "tests/sensors/ModbusTestServer.h"
#include "tests/sensors/PortReports.h"
#include "tests/support/TestUtil.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::HasSubstr;
using tmx::test::eventually;
using tmx::test::ScopedEnv;
using tmx::test::TempDir;

namespace {

class PortMap : public tmx::test::PortReportsTest
{
protected:
  bool reads(std::uint32_t port, std::uint8_t expected)
  {
    return eventually([&] { return DlPortReadPortUchar(port) == expected; });
  }

  TempDir dir_;
  ScopedEnv map_{ "TMX_PORT_MAP", dir_.file("map") };
};

TEST_F(PortMap, MappedBitsReadTheirInputsOthersThePort)
{
  auto server = tmx::test::ModbusTestServer::tcp(1);
  std::string bytes(0x400, '\xFF');
  bytes[0x379] = '\x7F'; // BUSY low in the port itself
  ScopedEnv device("TMX_PORT_DEVICE", dir_.write("port", bytes));
  const std::string at = " modbus-tcp host=127.0.0.1 port=" + std::to_string(server->port()) + " period=20";
  dir_.write("map",
             "# two leak detectors\n"
             "line 0x379 0x40" +
               at +
               " input=discrete:3 wet=1\n"
               "line 0x379 0x20" +
               at +
               " input=holding:5:2 wet=0   # bit 2 low: wet\n"
               "line 0x3bd 0x08" +
               at + " input=coil:7 wet=1\n");
  server->setHolding(5, 0x4);
  EXPECT_TRUE(reads(0x379, 0x7F)); // both dry
  server->setDiscrete(3, true);
  EXPECT_TRUE(reads(0x379, 0x3F));
  server->setHolding(5, 0x3);
  EXPECT_TRUE(reads(0x379, 0x1F));
  server->setCoil(7, true);
  EXPECT_TRUE(reads(0x3bd, 0xF7));
  EXPECT_EQ(0xFF, DlPortReadPortUchar(0x378)); // not mapped
  auto seen = takeReports();
  EXPECT_TRUE(seen.empty()) << seen.front();
}

TEST_F(PortMap, ADeadInputReadsDryAndIsReportedOnce)
{
  auto server = tmx::test::ModbusTestServer::tcp(1);
  ScopedEnv device("TMX_PORT_DEVICE", nullptr); // no port: unmapped bits read high
  dir_.write("map",
             "line 0x379 0x40 modbus-tcp host=127.0.0.1 port=" + std::to_string(server->port()) +
               " period=20 stale=0.2 input=discrete:0 wet=1\n");
  server->setDiscrete(0, true);
  ASSERT_TRUE(reads(0x379, 0xBF));
  server.reset();
  ASSERT_TRUE(reads(0x379, 0xFF));
  for (int i = 0; i < 10; ++i)
    DlPortReadPortUchar(0x379);
  auto seen = takeReports();
  ASSERT_EQ(1u, seen.size()) << seen[0] << "\n" << seen[1];
  EXPECT_THAT(seen[0], HasSubstr("Cannot read water line 0x379/0x40: no reading from 127.0.0.1:"));
  EXPECT_THAT(seen[0], HasSubstr("Connection refused"));
}

TEST_F(PortMap, AMalformedMapIsReportedOnceWithItsLine)
{
  ScopedEnv device("TMX_PORT_DEVICE", nullptr);
  dir_.write("map", "line 0x379 0x40 modbus-tcp host=127.0.0.1 input=analog:1 wet=1\n");
  EXPECT_EQ(0xFF, DlPortReadPortUchar(0x379));
  EXPECT_EQ(0xFF, DlPortReadPortUchar(0x379));
  auto seen = takeReports();
  ASSERT_EQ(1u, seen.size());
  EXPECT_THAT(seen[0], HasSubstr("Port map " + dir_.file("map") + " cannot be used: line 1: input must be"));
}

} // namespace
