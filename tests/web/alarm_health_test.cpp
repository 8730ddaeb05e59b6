// The alarm health figures on constructed episode lists, one group each.
#include "web/AlarmHealth.h"

#include <gtest/gtest.h>

namespace {

using namespace tmx;
using namespace tmx::web;

archive::Episode episode(std::int64_t id, double opened, const std::string &source = "")
{
  archive::Episode e;
  e.id = id;
  e.housing = 0;
  e.kind = "logger";
  e.source = source;
  e.opened = opened;
  e.cleared = opened + 1;
  return e;
}

constexpr double now = 100000;
constexpr double from = now - 3600; // six intervals

TEST(AlarmHealth, RatesAndFloods)
{
  std::vector<archive::Episode> list;
  std::int64_t id = 1;
  for (int i = 0; i < 11; ++i) // a flood in the last interval
    list.push_back(episode(id++, now - 10 - i, std::to_string(i)));
  list.push_back(episode(id++, from)); // the first interval
  list.push_back(list.back());         // given twice
  list.push_back(episode(id++, from - 1));
  const AlarmHealth h = alarmHealth(list, from, now);
  EXPECT_EQ(h.intervals, 6);
  EXPECT_DOUBLE_EQ(h.meanPerInterval, 12.0 / 6);
  EXPECT_EQ(h.mostPerInterval, 11);
  EXPECT_DOUBLE_EQ(h.floodShare, 1.0 / 6);
}

TEST(AlarmHealth, Chattering)
{
  const std::vector<archive::Episode> list = {
    episode(1, from + 0, "A"),   episode(2, from + 30, "A"), episode(3, from + 60, "A"),
    episode(4, from + 500, "A"), episode(5, from + 0, "B"),  episode(6, from + 61, "B"),
    episode(7, from + 122, "B"),
  };
  const AlarmHealth h = alarmHealth(list, from, now);
  ASSERT_EQ(h.chattering.size(), 1u);
  EXPECT_EQ(h.chattering[0].source, "A");
  EXPECT_EQ(h.chattering[0].openings, 4);
  EXPECT_EQ(h.chattering[0].burst, 3);
}

TEST(AlarmHealth, StandingAcknowledgedShelved)
{
  std::vector<archive::Episode> list = { episode(1, now - 90000),
                                         episode(2, now - 86000),
                                         episode(3, now - 100),
                                         episode(4, now - 50),
                                         episode(5, now - 40) };
  list[0].cleared.reset(); // active for 25 h
  list[1].cleared.reset(); // not yet 24 h
  list[2].acknowledged = archive::OperatorAction{ "op", "", now - 40, "" };
  list[3].acknowledged = archive::OperatorAction{ "op", "", now - 40, "" };
  list[4].acknowledged = archive::OperatorAction{ "op", "", now - 10, "" };
  list[0].shelved = archive::Shelving{ {}, now + 1 };
  list[1].shelved = archive::Shelving{ {}, now };
  const AlarmHealth h = alarmHealth(list, from, now);
  EXPECT_EQ(h.standing, (std::vector<std::int64_t>{ 1 }));
  EXPECT_DOUBLE_EQ(*h.medianToAcknowledge, 30);
  EXPECT_DOUBLE_EQ(*h.longestToAcknowledge, 60);
  EXPECT_EQ(h.unacknowledged, 2);
  EXPECT_EQ(h.shelvedNow, 1);
}

} // namespace
