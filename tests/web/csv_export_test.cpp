// The paged CSV export: across page boundaries (records of both housings
// sharing a reading time split between pages) nothing is lost or repeated;
// an empty window is the header alone; a failing source or a refusing sink
// breaks the export off.
#include "web/CsvExport.h"

#include "wire/HousekeepingText.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace tmx::web;
using tmx::archive::HousekeepingRecord;

namespace {

// Readings at 100, 105, ... 140 s of both housings, as the archive orders
// them (reading time, then housing).
std::vector<HousekeepingRecord> readings()
{
  std::vector<HousekeepingRecord> out;
  for (std::int64_t t = 100; t <= 140; t += 5)
    for (int h = 0; h < 2; ++h) {
      HousekeepingRecord r;
      r.housing = h;
      r.readingTime = t;
      r.temperature = 20.0 + h;
      r.arrivalTime = static_cast<double>(t) + 0.5;
      out.push_back(r);
    }
  return out;
}

// The archive's contract over a vector: [from, to], one housing or both,
// at most maxRows.
struct Source
{
  std::vector<HousekeepingRecord> rows = readings();
  int reads = 0;
  int failAt = 0; // the read that throws (1-based); 0: none

  RecordSource fn()
  {
    return [this](double from, double to, std::optional<int> housing, std::size_t maxRows) {
      if (++reads == failAt)
        throw std::runtime_error("disk I/O error");
      std::vector<HousekeepingRecord> out;
      for (const auto &r : rows)
        if (r.readingTime >= from && r.readingTime <= to && (!housing || r.housing == *housing) &&
            out.size() < maxRows)
          out.push_back(r);
      return out;
    };
  }
};

HousekeepingQuery query(std::optional<int> housing, double from, double to)
{
  HousekeepingQuery q;
  q.housing = housing;
  q.window = { from, to };
  q.csv = true;
  return q;
}

TEST(WebCsvExport, PagesCarryEveryRecordOnceWithTheHeaderFirst)
{
  struct Case
  {
    const char *name;
    std::optional<int> housing;
    double from, to;
    std::size_t pageRows;
    std::size_t chunks; // pages with something to send
  };
  const Case cases[] = {
    { "both housings, pages splitting a reading time", std::nullopt, 100, 140, 3, 9 },
    { "both housings, one page", std::nullopt, 100, 140, 5000, 1 },
    { "one housing, pages of 3", 1, 100, 140, 3, 4 },
    { "part of the window", 0, 110, 125, 3, 2 },
    { "empty window", std::nullopt, 200, 300, 3, 1 },
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Source source;
    std::vector<std::string> chunks;
    const bool complete = exportCsv(
      source.fn(),
      query(c.housing, c.from, c.to),
      [&](const std::string &chunk) {
        chunks.push_back(chunk);
        return true;
      },
      c.pageRows);
    EXPECT_TRUE(complete);
    std::string expected = tmx::wire::csvHeader();
    for (const auto &r : readings())
      if (r.readingTime >= c.from && r.readingTime <= c.to && (!c.housing || r.housing == *c.housing))
        expected += tmx::wire::csvRow(r);
    std::string body;
    for (const auto &chunk : chunks)
      body += chunk;
    EXPECT_EQ(body, expected);
    EXPECT_EQ(chunks.size(), c.chunks);
    ASSERT_FALSE(chunks.empty());
    EXPECT_EQ(chunks[0].rfind(tmx::wire::csvHeader(), 0), 0u) << "the header goes with the first page";
  }
}

TEST(WebCsvExport, AFailingSourceOrARefusingSinkBreaksTheExportOff)
{
  Source failing;
  failing.failAt = 2;
  std::size_t sent = 0;
  EXPECT_FALSE(exportCsv(
    failing.fn(),
    query(std::nullopt, 100, 140),
    [&](const std::string &) {
      ++sent;
      return true;
    },
    3));
  EXPECT_EQ(sent, 1u) << "the first page went out before the failure";

  Source source;
  EXPECT_FALSE(exportCsv(
    source.fn(), query(std::nullopt, 100, 140), [](const std::string &) { return false; }, 3));
  EXPECT_EQ(source.reads, 1) << "nothing more is read for a client that is gone";
}

} // namespace
