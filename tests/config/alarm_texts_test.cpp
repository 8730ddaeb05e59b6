// The monitor's alarm texts: each as the monitor makes it and publishes
// it, written out here, and what tmx-web recognises in it.
#include "config/AlarmTexts.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace tmx::alarmtext;
using Effect = Recognised::Effect;

namespace {

constexpr std::optional<int> none;

struct Expected
{
  Effect effect;
  AlarmKind kind;
  std::optional<int> housing;
  std::string source;
  std::optional<double> value;
};

struct Case
{
  std::string made; // by the monitor's function; "" for the logger library's texts
  int priority;
  std::string published;
  Expected expected;
};

void expectRecognised(const Case &c)
{
  SCOPED_TRACE(c.published);
  if (!c.made.empty()) {
    const std::string reported = c.published.substr(0, c.published.rfind('@'));
    EXPECT_TRUE(reported == c.made || reported == "ERROR: " + c.made || reported.rfind(c.made + " ", 0) == 0)
      << "made: " << c.made;
  }
  const std::optional<Recognised> r = recognise(c.priority, c.published);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->effect, c.expected.effect);
  EXPECT_STREQ(kindName(r->kind), kindName(c.expected.kind));
  EXPECT_EQ(r->housing, c.expected.housing);
  EXPECT_EQ(r->source, c.expected.source);
  EXPECT_EQ(r->value, c.expected.value);
}

} // namespace

TEST(AlarmTexts, EachTextAsPublishedIsRecognised)
{
  const std::string electronics = housingName(0);
  const std::string spectrograph = housingName(1);
  const std::vector<Case> cases = {
    { monitorStarting,
      0,
      "Initializing alarm/msg log file@10:11:12",
      { Effect::monitorStarted, AlarmKind::other, none, "", none } },
    { waterAlarm(0),
      2,
      "ERROR: Electronics housing water alarm@10:11:12",
      { Effect::trips, AlarmKind::water, 0, "", none } },
    { waterAlarm(1),
      2,
      "Spectrograph housing water alarm 00:06 since last trip @10:11:12",
      { Effect::trips, AlarmKind::water, 1, "", none } },
    { temperatureHigh(electronics, 31.456, 30),
      2,
      "Electronics housing temperature high: 31.46 degC (limit 30.00)@10:11:12",
      { Effect::trips, AlarmKind::temperatureHigh, 0, "", 31.46 } },
    { temperatureLow(spectrograph, -2.5, 0),
      2,
      "Spectrograph housing temperature low: -2.50 degC (limit 0.00)@10:11:12",
      { Effect::trips, AlarmKind::temperatureLow, 1, "", -2.5 } },
    { temperatureBack(electronics, 28),
      0,
      "Electronics housing temperature back within limits: 28.00 degC@10:11:12",
      { Effect::clears, AlarmKind::temperatureHigh, 0, "", 28.0 } },
    { humidityHigh(spectrograph, 61.3, 60),
      2,
      "Spectrograph housing humidity high: 61.3 %RH (limit 60.0)@10:11:12",
      { Effect::trips, AlarmKind::humidityHigh, 1, "", 61.3 } },
    { humidityBack(spectrograph, 55),
      0,
      "Spectrograph housing humidity back within limits: 55.0 %RH@10:11:12",
      { Effect::clears, AlarmKind::humidityHigh, 1, "", 55.0 } },
    { condensationRisk(electronics, 12.5, 1.25, 2),
      2,
      "Electronics housing condensation risk: dew point 12.50 degC, 1.25 degC below the housing temperature "
      "(margin 2.00)@10:11:12",
      { Effect::trips, AlarmKind::condensation, 0, "", 1.25 } },
    { condensationOver(electronics, 10, 3.5),
      0,
      "Electronics housing condensation risk over: dew point 10.00 degC, 3.50 degC below the housing "
      "temperature@10:11:12",
      { Effect::clears, AlarmKind::condensation, 0, "", 3.5 } },
    { loggerReadsAgain(sensorId(1)),
      0,
      "Logger TMX-S1 reads again@10:11:12",
      { Effect::clears, AlarmKind::logger, 1, "TMX-S1", none } },
    { portReadFailed(0x379, "/dev/port", "Permission denied"),
      2,
      "ERROR: Cannot read port 0x379 from /dev/port: Permission denied@10:11:12",
      { Effect::trips, AlarmKind::port, none, "0x379", none } },
    { waterLineReadFailed(0x379, 0x40, "no reading from 127.0.0.1:1502 unit 1 for 12 s: Connection refused"),
      2,
      "ERROR: Cannot read water line 0x379/0x40: no reading from 127.0.0.1:1502 unit 1 for 12 s: Connection "
      "refused@10:11:12",
      { Effect::trips, AlarmKind::port, none, "0x379/0x40", none } },
    { portMapUnusable("/etc/tmx/ports", "line 3: mask is not 1 to 0xff: 0"),
      2,
      "ERROR: Port map /etc/tmx/ports cannot be used: line 3: mask is not 1 to 0xff: 0@10:11:12",
      { Effect::trips, AlarmKind::port, none, "/etc/tmx/ports", none } },
    { logWriteFailed("/var/tmx/logfiles/123_000.log", "No space left on device"),
      2,
      "ERROR: Cannot write log file /var/tmx/logfiles/123_000.log: No space left on device@10:11:12",
      { Effect::trips, AlarmKind::logWrite, none, "", none } },
    // Written to the log file only, with no time suffix.
    { logWriteRecovered("No space left on device", 3),
      2,
      "ERROR: Log file write failed (No space left on device): 3 lines lost",
      { Effect::clears, AlarmKind::logWrite, none, "", none } },
    // The logger library's texts; the sensor id tells the housing.
    { "",
      2,
      "ERROR: temperature channel of logger TMX-E1 failed to read@10:11:12",
      { Effect::trips, AlarmKind::logger, 0, "TMX-E1", none } },
    { "",
      2,
      "ERROR: humidity channel of logger TMX-S1 is disabled@10:11:12",
      { Effect::trips, AlarmKind::logger, 1, "TMX-S1", none } },
    { "",
      2,
      "ERROR: no reading from TMX-E1 for 12 s: simulated failure@10:11:12",
      { Effect::trips, AlarmKind::logger, 0, "TMX-E1", none } },
    { "",
      2,
      "ERROR: no reading from 127.0.0.1:1502 unit 7 for 3 s: Connection refused@10:11:12",
      { Effect::trips, AlarmKind::logger, none, "127.0.0.1:1502 unit 7", none } },
    { "",
      2,
      "ERROR: loggers file /etc/tmx/loggers cannot be read: No such file or directory@10:11:12",
      { Effect::trips, AlarmKind::logger, none, "", none } },
    { "",
      2,
      "ERROR: unknown logger library status 77@10:11:12",
      { Effect::trips, AlarmKind::logger, none, "", none } },
    // Without the time suffix, and cut at the message bound inside it.
    { waterAlarm(0), 2, "Electronics housing water alarm", { Effect::trips, AlarmKind::water, 0, "", none } },
    { "",
      2,
      "ERROR: Cannot read port 0x379 from /dev/port: " + std::string(80, 'x') + "@1",
      { Effect::trips, AlarmKind::port, none, "0x379", none } },
  };
  for (const Case &c : cases)
    expectRecognised(c);
}

TEST(AlarmTexts, UnknownTextsAreOtherAlarmsOrNothing)
{
  const std::string binary("\0\xff@\0ERROR: \x80", 12);
  const struct
  {
    int priority;
    std::string text;
    bool other; // else not recognised
  } cases[] = {
    { 0, "Application shutdown requested@10:11:12", false },
    { 0, "", false },
    { 1, binary, false },
    { 0, "ERROR: Electronics housing water alarm and more", false },
    { 1, "Electronics housing temperature high: 1e3 degC (limit 0.00)", false },
    { 2, "", true },
    { 2, binary, true },
    { 2, std::string(1 << 20, '%'), true },
    { 2, "ERROR: Invalid description detected@10:11:12", true },
    { 2, "Electronics housing temperature high: 31.46 degC@10:11:12", true },
    { 2, "Kitchen housing temperature high: 1.00 degC (limit 0.00)@10:11:12", true },
    { 2, " ERROR: Electronics housing water alarm@10:11:12", true },
    { 2, "ERROR: Electronics housing water alarm 00:06 since last trip @10:11:12", true },
    { 2, "ERROR: Logger TMX-E1 reads again@10:11:12", true },
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text.substr(0, 80));
    const std::optional<Recognised> r = recognise(c.priority, c.text);
    ASSERT_EQ(r.has_value(), c.other);
    if (r) {
      EXPECT_EQ(r->effect, Effect::trips);
      EXPECT_EQ(r->kind, AlarmKind::other);
      EXPECT_FALSE(r->housing.has_value());
      EXPECT_EQ(r->source, "");
    }
  }
}

TEST(AlarmTexts, MessagesEndTheAlarmsTheMonitorConsidersOver)
{
  const std::string electronics = housingName(0);
  auto of = [](const std::string &text) { return *recognise(2, text + "@10:11:12"); };
  const struct
  {
    Recognised message;
    AlarmKind kind;
    std::optional<int> housing;
    std::string source;
    bool ends;
  } cases[] = {
    { of(temperatureBack(electronics, 20)), AlarmKind::temperatureHigh, 0, "", true },
    { of(temperatureBack(electronics, 20)), AlarmKind::temperatureLow, 0, "", true },
    { of(temperatureBack(electronics, 20)), AlarmKind::temperatureHigh, 1, "", false },
    { of(temperatureLow(electronics, 1, 2)), AlarmKind::temperatureHigh, 0, "", true },
    { of(temperatureLow(electronics, 1, 2)), AlarmKind::temperatureLow, 0, "", false },
    { of(humidityBack(electronics, 40)), AlarmKind::condensation, 0, "", false },
    { of(condensationOver(electronics, 1, 5)), AlarmKind::condensation, 0, "", true },
    { of(loggerReadsAgain("TMX-S1")), AlarmKind::logger, 1, "TMX-S1", true },
    { of(loggerReadsAgain("TMX-S1")), AlarmKind::logger, std::nullopt, "127.0.0.1:1502 unit 7", true },
    { of(loggerReadsAgain("TMX-S1")), AlarmKind::logger, 0, "TMX-E1", false },
    { of(waterAlarm(0)), AlarmKind::water, 0, "", false },
    { of(monitorStarting), AlarmKind::port, std::nullopt, "0x379", true },
    { of(monitorStarting), AlarmKind::monitorSilent, std::nullopt, "", false },
    { of(monitorStarting), AlarmKind::water, 0, "", false },
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(kindName(c.message.kind)) + " ends " + kindName(c.kind) + " " + c.source);
    EXPECT_EQ(ends(c.message, c.kind, c.housing, c.source), c.ends);
  }
}

TEST(AlarmTexts, KindNamesReadBack)
{
  for (int k = 0; k <= static_cast<int>(AlarmKind::other); ++k)
    EXPECT_EQ(parseKind(kindName(static_cast<AlarmKind>(k))), static_cast<AlarmKind>(k));
  EXPECT_FALSE(parseKind("Water").has_value());
}
