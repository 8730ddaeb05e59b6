// The written forms of a housekeeping record: the CSV and JSON rows of an
// export, and tmx-watch's CSV line of a record as it arrived.
//
// Export (tmx-history export, GET /api/housekeeping?format=csv). CSV: the
// header line
//   housing,reading_time,reading_time_utc,temperature,humidity,water,arrival_time,dew_point
// then one line per record, "\n" ending every line: the housing's name,
// reading time in Unix seconds, the same as ISO 8601 with Z, temperature
// and humidity in their shortest exact decimal form (empty when there is no
// value), water 0/1, arrival time in Unix seconds with 3 decimals, the dew
// point of that temperature and humidity in degC with 2 decimals (empty
// when either is missing; see config/Limits.h).
// JSON: {"housing":"electronics","readingTime":T,"readingTimeUtc":"...Z",
//        "temperature":x|null,"humidity":x|null,"water":bool,"arrivalTime":T,
//        "dewPoint":x|null} (the dew point rounded to 2 decimals)
//
// tmx-watch --csv: the header line
//   received,housing,temp,rh,wateralarm,readingTime,readingTimeUtc
// then a line per record as sent: the receive time (ISO 8601 UTC with
// milliseconds), the IDL name of the housing, temperature and humidity with
// 2 decimals (-1.00: could not be read), water 0/1, the reading time in
// seconds and as ISO 8601 UTC ("invalid" when it has none); no "\n".
#pragma once

#include <chrono>
#include <string>

#include <nlohmann/json.hpp>

#include "wire/Decode.h"
#include "wire/Records.h"

namespace tmx::wire {

// The header line, with its "\n".
const std::string &csvHeader();
// One record's line, with its "\n".
std::string csvRow(const HousekeepingRecord &r);
nlohmann::json jsonRow(const HousekeepingRecord &r);

// tmx-watch's header line and record line, both without "\n".
const char *sentCsvHeader();
std::string sentCsvRow(const SentHousekeeping &hk, std::chrono::system_clock::time_point received);

// The IDL name of a housing or a priority as sent ("ELECTRONICS_HOUSING",
// "ALARM"), or "HousingID(N)" / "MessagePriority(N)" outside the enum.
std::string housingIdName(unsigned long housing);
std::string priorityIdName(unsigned long priority);

// A number with 2 decimals, as "%.2f" prints it.
std::string fixed2(double v);

} // namespace tmx::wire
