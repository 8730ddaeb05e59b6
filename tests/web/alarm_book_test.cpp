// The alarm episode rules, case by case: a case feeds the book a sequence of
// inputs (messages, records, ticks, operator requests) and compares the
// current episodes, the audit trail and the last change it reported.
#include "web/AlarmBook.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <variant>

namespace {

using namespace tmx;
using namespace tmx::web;
using alarmtext::AlarmKind;
using Effect = alarmtext::Recognised::Effect;
using What = OperatorRequest::What;

struct Msg
{
  double t;
  Effect effect;
  AlarmKind kind;
  std::optional<int> housing = 0;
  std::optional<double> value = std::nullopt;
  std::string source = "";
};
struct Rec
{
  double t;
  std::optional<double> temperature;
  std::optional<double> humidity = 40.0;
  bool water = false;
  int housing = 0;
};
struct Tick
{
  double t;
  std::optional<double> lastRecord;
  bool subscribed = true;
};
struct Act
{
  double t;
  std::int64_t id;
  What what;
  ActionResult expect = ActionResult::ok;
  int minutes = 0;
  std::string comment = "";
};
using Step = std::variant<Msg, Rec, Tick, Act>;

alarmtext::Recognised said(Effect effect,
                           AlarmKind kind,
                           std::optional<int> housing = std::nullopt,
                           std::string source = "",
                           std::optional<double> value = std::nullopt)
{
  return { effect, kind, housing, std::move(source), value };
}

std::string shown(const archive::Episode &e)
{
  std::string s = std::to_string(e.id) + " " + e.kind;
  if (e.housing)
    s += "/" + std::to_string(*e.housing);
  if (!e.source.empty())
    s += "[" + e.source + "]";
  s += " x" + std::to_string(e.trips) + " " + e.severity;
  if (!e.active())
    s += " cleared:" + e.clearedWhy;
  if (e.acknowledged)
    s += " ack";
  if (e.shelved) {
    char until[32];
    std::snprintf(until, sizeof until, "%g", e.shelved->until);
    s += std::string(" shelved<") + until;
  }
  if (e.peakValue) {
    char peak[64];
    std::snprintf(peak, sizeof peak, " peak=%g@%g", *e.peakValue, *e.peakAt);
    s += peak;
  }
  return s;
}

std::vector<std::string> shown(const std::vector<archive::Episode> &episodes)
{
  std::vector<std::string> out;
  for (const auto &e : episodes)
    out.push_back(shown(e));
  return out;
}

struct Case
{
  const char *name;
  std::vector<Step> steps;
  std::vector<std::string> current;
  std::vector<std::string> audit = {}; // "ID action by"
  std::vector<std::string> lastChanged = {};
  bool withLimits = false;
};

void PrintTo(const Case &c, std::ostream *os)
{
  *os << c.name;
}

LimitsSet limits()
{
  LimitsSet set;
  set[0].lowTemperature = 5;
  set[0].highTemperature = 30;
  set[0].highHumidity = 60;
  set[0].dewPointMargin = 3;
  set[0].hysteresis = 1;
  return set;
}

using K = AlarmKind;
const auto trips = Effect::trips;
const auto clears = Effect::clears;
const auto acking = What::acknowledge;
const auto shelving = What::shelve;
const auto unshelving = What::unshelve;
const auto none = std::nullopt;
const auto ok = ActionResult::ok;

// clang-format off
const std::vector<Case> cases = {
  { "water counts trips, clears dry, latches; a new trip opens anew",
    { Msg{ 10, trips, K::water }, Rec{ 11, 20, 40, true }, Msg{ 12, trips, K::water },
      Rec{ 13, 20, 40, false, 1 }, Rec{ 14, 20 }, Msg{ 15, trips, K::water } },
    { "2 water/0 x1 critical", "1 water/0 x2 critical cleared:dry" } },
  { "a latched episode acknowledged leaves",
    { Msg{ 10, trips, K::water }, Rec{ 11, 20 }, Act{ 12, 1, acking } },
    {}, { "1 acknowledge op" }, { "1 water/0 x1 critical cleared:dry ack" } },
  { "acknowledged while active, twice harmlessly, it leaves when it clears",
    { Msg{ 10, trips, K::water }, Act{ 11, 1, acking }, Act{ 12, 1, acking, ActionResult::unchanged },
      Rec{ 13, 20 } },
    {}, { "1 acknowledge op" }, { "1 water/0 x1 critical cleared:dry ack" } },
  { "a limit alarm clears at its notice and does not latch",
    { Msg{ 10, trips, K::temperatureHigh, 0, 31.0 }, Msg{ 11, trips, K::logger, none, none, "A" },
      Msg{ 20, clears, K::temperatureHigh } },
    { "2 logger[A] x1 warning" }, {}, { "1 temperature-high/0 x1 warning cleared:notice peak=31@10" } },
  { "condensation latches; its peak is the least margin",
    { Msg{ 10, trips, K::condensation, 0, 2.5 }, Rec{ 11, 20, 95 }, Rec{ 12, 20, 90 },
      Msg{ 13, clears, K::condensation } },
    { "1 condensation/0 x1 critical cleared:notice peak=0.826372@11" } },
  { "peaks come from messages and the housing's records only",
    { Msg{ 10, trips, K::temperatureLow, 0, 4.0 }, Rec{ 11, 3.5 }, Rec{ 12, 1.0, 40, false, 1 },
      Rec{ 13, 4.5 }, Msg{ 14, trips, K::humidityHigh, 0, 61.0 }, Rec{ 15, 4.8, 65.0 } },
    { "2 humidity-high/0 x1 warning peak=65@15", "1 temperature-low/0 x1 warning peak=3.5@11" } },
  { "the monitor's restart clears what only its notices would",
    { Msg{ 10, trips, K::water }, Msg{ 11, trips, K::temperatureHigh },
      Msg{ 12, trips, K::port, none, none, "/dev/ttyS0" }, Msg{ 13, trips, K::condensation },
      Msg{ 20, Effect::monitorStarted, K::other, none } },
    { "4 condensation/0 x1 critical cleared:monitor restarted", "1 water/0 x1 critical" } },
  { "any other alarm is a one-shot, never current",
    { Msg{ 10, trips, K::other, none } },
    {}, {}, { "1 other x1 warning cleared:one-shot" } },
  { "shelved until the time it expires",
    { Msg{ 10, trips, K::temperatureHigh }, Act{ 20, 1, shelving, ok, 10 }, Tick{ 619, 618 },
      Tick{ 620, 619 } },
    { "1 temperature-high/0 x1 warning" }, { "1 shelve op", "1 unshelve tmx-web" },
    { "1 temperature-high/0 x1 warning" } },
  { "shelving again replaces; refusals",
    { Msg{ 10, trips, K::temperatureHigh }, Act{ 20, 1, shelving, ok, 10 }, Act{ 30, 1, shelving, ok, 1440 },
      Act{ 31, 1, shelving, ActionResult::badMinutes, 1441 },
      Act{ 31, 1, shelving, ActionResult::badMinutes, 0 },
      Act{ 42, 2, acking, ActionResult::notHeld },
      Act{ 43, 1, acking, ActionResult::commentTooLong, 0, std::string(501, 'x') } },
    { "1 temperature-high/0 x1 warning shelved<86430" }, { "1 shelve op", "1 shelve op" } },
  { "a shelved episode stays current after clearing until unshelved early",
    { Msg{ 10, trips, K::logger, none, none, "A" }, Act{ 20, 1, shelving, ok, 10 },
      Msg{ 30, clears, K::logger, none, none, "A" }, Msg{ 31, trips, K::logger, none, none, "A" },
      Act{ 32, 1, shelving, ActionResult::notShelvable, 10 },
      Act{ 33, 2, unshelving, ActionResult::notShelved },
      Act{ 40, 1, unshelving } },
    { "2 logger[A] x1 warning" }, { "1 shelve op", "1 unshelve op" } },
  { "a silent monitor after 15 s, from the start too; records again clear it",
    { Tick{ 14, none }, Tick{ 15, none }, Tick{ 16, none }, Rec{ 17, 20 } },
    {}, {}, { "1 monitor-silent x1 critical cleared:records again" } },
  { "the notifier unsubscribed after the start's grace, until subscribed",
    { Tick{ 14, 14, false }, Tick{ 15, 15, false }, Tick{ 16, 16, true } },
    {}, {}, { "1 notifier x1 warning cleared:subscribed" } },
  { "limit episodes clear by the records, past the hysteresis",
    { Msg{ 10, trips, K::temperatureHigh, 0, 31.0 }, Msg{ 10, trips, K::humidityHigh, 0, 61.0 },
      Rec{ 11, 32, 59.5 }, Rec{ 12, 29.5, 59.0 } },
    { "1 temperature-high/0 x1 warning peak=32@11" }, {},
    { "2 humidity-high/0 x1 warning cleared:records back within limits peak=61@10" }, true },
};
// clang-format on

class AlarmBookRules : public testing::TestWithParam<Case>
{};

TEST_P(AlarmBookRules, Apply)
{
  const Case &c = GetParam();
  AlarmBook book;
  if (c.withLimits)
    book.setLimits(limits());
  std::vector<std::string> audit;
  Changes last;
  for (const Step &step : c.steps) {
    Changes changes;
    if (const auto *m = std::get_if<Msg>(&step)) {
      changes = book.onMessage(said(m->effect, m->kind, m->housing, m->source, m->value),
                               m->effect == Effect::clears ? "notice" : "text",
                               m->t);
    } else if (const auto *r = std::get_if<Rec>(&step)) {
      wire::HousekeepingRecord record;
      record.housing = r->housing;
      record.temperature = r->temperature;
      record.humidity = r->humidity;
      record.water = r->water;
      changes = book.onHousekeeping(record, r->t);
    } else if (const auto *t = std::get_if<Tick>(&step)) {
      changes = book.onTick(t->t, { t->lastRecord, 0, t->subscribed });
    } else {
      const auto &a = std::get<Act>(step);
      const OperatorRequest request{ a.what, { "op", "127.0.0.1", a.t, a.comment }, a.minutes };
      EXPECT_EQ(resultName(book.act(a.id, request, changes)), std::string(resultName(a.expect))) << a.t;
    }
    for (const auto &entry : changes.audit)
      audit.push_back(std::to_string(entry.episode) + " " + entry.action + " " + entry.by.by);
    if (!changes.empty())
      last = changes;
  }
  EXPECT_EQ(shown(book.current()), c.current);
  EXPECT_EQ(audit, c.audit);
  if (!c.lastChanged.empty()) {
    EXPECT_EQ(shown(last.episodes), c.lastChanged);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, AlarmBookRules, testing::ValuesIn(cases), [](const auto &info) {
  std::string name;
  for (const char *p = info.param.name; *p; ++p)
    name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return name;
});

// tmx-web's restart: the archive's current episodes come back, ids go on.
TEST(AlarmBook, RestoreThenContinue)
{
  archive::Episode water;
  water.id = 7;
  water.housing = 1;
  water.kind = "water";
  water.severity = "critical";
  water.latching = true;
  archive::Episode over = water;
  over.id = 8;
  over.kind = "temperature-high";
  over.latching = false;
  over.cleared = 5;
  AlarmBook book;
  book.restore({ water, over }, 3);
  EXPECT_EQ(shown(book.current()), (std::vector<std::string>{ "7 water/1 x1 critical" }));

  book.onMessage(said(Effect::trips, AlarmKind::water, 1), "again", 10);
  book.onMessage(said(Effect::trips, AlarmKind::temperatureHigh, 1), "hot", 11);
  EXPECT_EQ(shown(book.current()),
            (std::vector<std::string>{ "9 temperature-high/1 x1 warning", "7 water/1 x2 critical" }));
  EXPECT_EQ(book.find(7)->text, "again");
  const auto counts = book.counts();
  ASSERT_EQ(counts.size(), 2u);
  EXPECT_EQ(counts[1].kind, "water");
  EXPECT_EQ(counts[1].active + counts[1].unacknowledged + counts[1].shelved, 2);
}

// Operators act on episodes the book no longer holds (from the archive);
// comments are counted in characters, not bytes.
TEST(AlarmBook, ActionsOnArchivedEpisodes)
{
  AlarmBook book;
  const Changes shot = book.onMessage(said(Effect::trips, AlarmKind::other), "odd", 1);
  ASSERT_EQ(shot.episodes.size(), 1u);
  archive::Episode e = shot.episodes[0];
  std::string comment;
  for (int i = 0; i < 500; ++i)
    comment += "\xc3\xa9"; // e acute
  Changes changes;
  EXPECT_EQ(shelve(e, { "op", "", 2, "" }, 5, 60, changes), ActionResult::notShelvable);
  EXPECT_EQ(acknowledge(e, { "op", "", 2, comment + "x" }, changes), ActionResult::commentTooLong);
  EXPECT_EQ(acknowledge(e, { "op", "", 2, comment }, changes), ActionResult::ok);
  ASSERT_EQ(changes.audit.size(), 1u);
  EXPECT_EQ(changes.episodes.at(0).acknowledged->comment, comment);
}

// Beyond the bound the oldest episode that is over goes first.
TEST(AlarmBook, BoundDropsOldestClearedFirst)
{
  AlarmBook book;
  book.onMessage(said(Effect::trips, AlarmKind::water, 0), "wet", 0);
  book.onHousekeeping({}, 1);
  for (int i = 0; i < 1000; ++i)
    book.onMessage(said(Effect::trips, AlarmKind::logger, std::nullopt, std::to_string(i)), "x", 2 + i);
  EXPECT_EQ(book.current().size(), AlarmBook::maxEpisodes);
  EXPECT_FALSE(book.find(1));
  EXPECT_TRUE(book.find(2));
}

} // namespace
