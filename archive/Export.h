// Rows of raw housekeeping records for export: the CSV that tmx-history and
// GET /api/housekeeping?format=csv write, and a JSON form of the same rows.
//
// CSV: the header line
//   housing,reading_time,reading_time_utc,temperature,humidity,water,arrival_time,dew_point
// then one line per record, "\n" ending every line: the housing's name,
// reading time in Unix seconds, the same as ISO 8601 with Z, temperature
// and humidity in their shortest exact decimal form (empty when there is no
// value), water 0/1, arrival time in Unix seconds with 3 decimals, the dew
// point of that temperature and humidity in degC with 2 decimals (empty
// when either is missing; see config/Limits.h).
// JSON: {"housing":"electronics","readingTime":T,"readingTimeUtc":"...Z",
//        "temperature":x|null,"humidity":x|null,"water":bool,"arrivalTime":T}
#pragma once

#include <ostream>
#include <string>

#include <nlohmann/json.hpp>

#include "archive/Archive.h"

namespace tmx::archive {

// The header line, with its "\n".
const std::string &csvHeader();
// One record's line, with its "\n".
std::string csvRow(const HousekeepingRecord &r);
nlohmann::json jsonRow(const HousekeepingRecord &r);

} // namespace tmx::archive
