// The CSV form of /api/housekeeping: the raw records of the query's window
// (one housing or both) in the written form of wire/HousekeepingText.h,
// read page by page so that a long window never sits in memory whole.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

#include "archive/Archive.h"
#include "web/Query.h"
#include "web/Reply.h"

namespace tmx::web {

// The raw records in [from, to] (reading time) of one housing or both,
// ordered by reading time and then housing, at most maxRows of them, as
// archive::Archive::records gives them. May throw std::exception.
using RecordSource = std::function<std::vector<
  archive::HousekeepingRecord>(double from, double to, std::optional<int> housing, std::size_t maxRows)>;

// Rows per read of the source.
constexpr std::size_t csvPageRows = 5000;

// Sends the header and the window's records to sink, one chunk per page
// read (the header goes with the first). Each page is read from the
// reading time of the last row sent, and the rows of that time sent
// already are skipped (housing and reading time identify a record), so
// that nothing is lost or repeated across pages. A page holds more rows
// than can share a reading time (pageRows is raised to that), so each full
// page moves on. true when everything was sent; false when the sink
// refused a chunk or the source failed.
bool exportCsv(const RecordSource &source,
               const HousekeepingQuery &query,
               const ChunkSink &sink,
               std::size_t pageRows = csvPageRows);

} // namespace tmx::web
