// The records kept of the notifier's events, and the edges of ISO 8601.
#include <gtest/gtest.h>

#include "tests/support/OrbEnvironment.h"
#include "tests/tools/ToolTest.h"
#include "wire/Decode.h"
#include "wire/TimeText.h"

using namespace tmx::test;
using namespace tmx::wire;

namespace {

const auto *orbEnvironment = ::testing::AddGlobalTestEnvironment(new OrbEnvironment);

TEST(RecordOf, KeepsWhatTheMonitorSendsAndNothingElse)
{
  const struct
  {
    const char *what;
    CORBA::Any value;
    std::optional<std::size_t> kept; // index in Record
  } cases[] = {
    { "housekeeping", housekeepingValue(SPECTROGRAPH_HOUSING, 20.5, -1.0, true, 1714564800), 0 },
    { "alarm", messageValue("Electronics housing water alarm", ALARM, 7), 1 },
    { "notice", messageValue("x", MESSAGE, 7), 1 },
    { "console line", consoleValue("hello \xe9"), 2 },
    { "event", eventValue(7, "HEATON", 1), std::nullopt },
    { "string", stringValue("heaton"), std::nullopt },
    { "empty", CORBA::Any(), std::nullopt },
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const std::optional<Record> r = recordOf(makeEvent("TMX", c.value), 12.5);
    ASSERT_EQ(c.kept.has_value(), r.has_value());
    if (r)
      EXPECT_EQ(*c.kept, r->index());
  }

  const auto hk = std::get<HousekeepingRecord>(
    *recordOf(makeEvent("TMX", housekeepingValue(SPECTROGRAPH_HOUSING, 20.5, -1.0, true, 1714564800)), 12.5));
  EXPECT_EQ((HousekeepingRecord{ 1, 1714564800, 20.5, std::nullopt, true, 12.5 }), hk);
  const auto line = std::get<ConsoleLine>(*recordOf(makeEvent("TMX", consoleValue("hello \xe9")), 3));
  EXPECT_EQ("hello \xc3\xa9", line.text); // Latin-1 kept as UTF-8
}

TEST(IsoSeconds, HasAFormOnlyForFourDigitYears)
{
  EXPECT_EQ("0000-01-01T00:00:00Z", isoUtc(-62167219200));
  EXPECT_EQ("", isoUtc(-62167219201));
  EXPECT_EQ("9999-12-31T23:59:59Z", isoUtc(253402300799));
  EXPECT_EQ("", isoUtc(253402300800));
  EXPECT_EQ("invalid", isoSent(253402300800ULL, "Z"));
  EXPECT_EQ("2024-05-01T12:00:00", isoSent(1714564800ULL, ""));
}

} // namespace
