// Which housekeeping records tmx-web believes, and how it says so.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "web/RecordCheck.h"

using namespace tmx::web;

namespace {

tmx::archive::HousekeepingRecord readAt(std::int64_t t)
{
  tmx::archive::HousekeepingRecord r;
  r.readingTime = t;
  return r;
}

struct Step
{
  std::int64_t readingTime;
  const char *refused; // null: taken
  std::size_t reportsAfter;
};

// Feeds the steps to a new check at now; what it reported.
std::vector<std::string> reportsOf(const std::vector<Step> &steps, double now)
{
  std::vector<std::string> reports;
  RecordCheck check([&](const std::string &r) { reports.push_back(r); });
  for (const auto &s : steps) {
    SCOPED_TRACE(s.readingTime);
    const char *refused = check.refusal(readAt(s.readingTime), now);
    EXPECT_EQ(std::string(s.refused ? s.refused : "-"), std::string(refused ? refused : "-"));
    EXPECT_EQ(reports.size(), s.reportsAfter);
  }
  return reports;
}

TEST(RecordCheck, RefusesTheFutureAndTheLongPastOnceAnEpisode)
{
  const auto reports = reportsOf(
    {
      { 1796724000 + 300, nullptr, 0 },  // at most 5 min ahead
      { 1796724000 + 301, "future", 1 }, // reported
      { 1796724000 + 600, "future", 1 }, // the same episode
      { 253402300800, "future", 1 },     // beyond the year 9999
      { 946684799, "past", 2 },          // 1999: an episode of its own
      { 1796724000, nullptr, 3 },        // taken: both episodes end, in one line
      { 1796724000 + 900, "future", 4 }, // a new episode
      { 946684800, nullptr, 5 },         // 2000-01-01 is believed
    },
    1796724000.5);
  ASSERT_EQ(reports.size(), 5u);
  EXPECT_NE(reports[0].find("2026-12-08T10:05:01Z, 301 s ahead"), std::string::npos) << reports[0];
  EXPECT_NE(reports[1].find("before 2000"), std::string::npos) << reports[1];
  EXPECT_NE(reports[2].find("taken again (3 refused as from the future, 1 refused as from the past)"),
            std::string::npos)
    << reports[2];
}

TEST(RecordCheck, AClockSteppedBackIsReportedOncePerStep)
{
  const auto reports = reportsOf(
    {
      { 1796724000, nullptr, 0 },
      { 1796724005, nullptr, 0 },
      { 1796723995, nullptr, 0 }, // 10 s: no step
      { 1796723900, nullptr, 1 }, // 95 s back
      { 1796723905, nullptr, 1 },
      { 1796723850, nullptr, 1 }, // the same episode
      { 1796724006, nullptr, 1 }, // overtaken: the episode ends
      { 1796723990, nullptr, 2 }, // a new step
    },
    1796724100);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_NE(reports[0].find("stepped back 95 s, from 2026-12-08T09:59:55Z to 2026-12-08T09:58:20Z"),
            std::string::npos)
    << reports[0];
}

} // namespace
