#include "web/CsvExport.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <string>
#include <utility>

#include "wire/HousekeepingText.h"

namespace tmx::web {

bool exportCsv(const RecordSource &source,
               const HousekeepingQuery &query,
               const ChunkSink &sink,
               std::size_t pageRows)
{
  pageRows = std::max<std::size_t>(pageRows, archive::housingCount + 1);
  std::string out = wire::csvHeader();
  double cursor = query.window.from;
  std::optional<std::pair<std::int64_t, int>> last; // (reading time, housing) sent last
  for (;;) {
    std::vector<archive::HousekeepingRecord> rows;
    try {
      rows = source(cursor, query.window.to, query.housing, pageRows);
    } catch (const std::exception &) {
      return false;
    }
    for (const auto &r : rows) {
      const std::pair<std::int64_t, int> key(r.readingTime, r.housing);
      if (last && key <= *last)
        continue;
      out += wire::csvRow(r);
      last = key;
    }
    if (!out.empty() && !sink(out))
      return false;
    out.clear();
    if (rows.size() < pageRows)
      return true;
    cursor = static_cast<double>(last ? last->first : cursor);
  }
}

} // namespace tmx::web
