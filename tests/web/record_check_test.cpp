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

TEST(RecordCheck, RefusesTheFutureAndTheLongPastOnceAnEpisode)
{
  std::vector<std::string> reports;
  RecordCheck check([&](const std::string &r) { reports.push_back(r); });
  const double now = 1796724000.5;
  const struct
  {
    std::int64_t readingTime;
    const char *refused; // null: taken
    std::size_t reportsAfter;
  } steps[] = {
    { 1796724000 + 300, nullptr, 0 },  // at most 5 min ahead
    { 1796724000 + 301, "future", 1 }, // reported
    { 1796724000 + 600, "future", 1 }, // the same episode
    { 253402300800, "future", 1 },     // beyond the year 9999
    { 946684799, "past", 2 },          // 1999: an episode of its own
    { 1796724000, nullptr, 3 },        // taken: both episodes end, in one line
    { 1796724000 + 900, "future", 4 }, // a new episode
    { 946684800, nullptr, 5 },         // 2000-01-01 is believed
  };
  for (const auto &s : steps) {
    SCOPED_TRACE(s.readingTime);
    const char *refused = check.refusal(readAt(s.readingTime), now);
    EXPECT_EQ(std::string(s.refused ? s.refused : "-"), std::string(refused ? refused : "-"));
    EXPECT_EQ(reports.size(), s.reportsAfter);
  }
  EXPECT_NE(reports[0].find("2026-12-08T10:05:01Z, 301 s ahead"), std::string::npos) << reports[0];
  EXPECT_NE(reports[1].find("before 2000"), std::string::npos) << reports[1];
  EXPECT_NE(reports[2].find("taken again (3 refused as from the future, 1 refused as from the past)"),
            std::string::npos)
    << reports[2];
}

TEST(RecordCheck, AClockSteppedBackIsReportedOncePerStep)
{
  std::vector<std::string> reports;
  RecordCheck check([&](const std::string &r) { reports.push_back(r); });
  const double now = 1796724100;
  const struct
  {
    std::int64_t readingTime;
    std::size_t reportsAfter;
  } steps[] = {
    { 1796724000, 0 }, { 1796724005, 0 }, { 1796723995, 0 }, // 10 s back: not a step
    { 1796723900, 1 },                                       // 95 s back
    { 1796723905, 1 }, { 1796723850, 1 },                    // the same episode
    { 1796724006, 1 },                                       // overtaken: the episode ends
    { 1796723990, 2 },                                       // a new step
  };
  for (const auto &s : steps) {
    SCOPED_TRACE(s.readingTime);
    EXPECT_EQ(check.refusal(readAt(s.readingTime), now), nullptr);
    EXPECT_EQ(reports.size(), s.reportsAfter);
  }
  EXPECT_NE(reports[0].find("stepped back 95 s, from 2026-12-08T09:59:55Z to 2026-12-08T09:58:20Z"),
            std::string::npos)
    << reports[0];
}

} // namespace
