// The records the programs around the monitor keep of what it publishes:
// a housekeeping record, an alarm message, a console line, as plain data
// without CORBA types. tmx-web decodes them from the notifier's events
// (wire/Decode.h) and archives them; tmx-history reads them back.
//
// Times: reading times are whole Unix seconds (UTC) as the monitor sends
// them; arrival times are Unix seconds with fractions, taken where the
// record arrived. A reading of -1.0 is the monitor's "could not be read":
// it is kept as no value (std::nullopt).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace tmx::wire {

// Housings as in HousingID: 0 electronics, 1 spectrograph.
constexpr int housingCount = 2;
// "electronics" / "spectrograph"; "" for anything else.
const char *housingName(int housing);

// A reading as it is kept: nothing for the monitor's -1.0 ("could not be
// read") or for a value that is not finite.
std::optional<double> reading(const std::optional<double> &v);
// "electronics", "spectrograph", "0" or "1"; nullopt otherwise.
std::optional<int> parseHousing(const std::string &text);

// Message priorities as in MessagePriority: 0 MESSAGE, 1 WARNING, 2 ALARM.
// "ALARM" / "WARNING" / "MESSAGE"; "" for anything else.
const char *priorityName(int priority);

struct HousekeepingRecord
{
  int housing = 0;              // 0 or 1
  std::int64_t readingTime = 0; // Unix seconds
  // -1.0 given here is stored as no value (the caller may pass either).
  std::optional<double> temperature; // degrees Celsius
  std::optional<double> humidity;    // percent relative humidity
  bool water = false;                // water line wet
  double arrivalTime = 0;            // Unix seconds, here

  bool operator==(const HousekeepingRecord &o) const;
};

struct MessageRecord
{
  int priority = 0; // MessagePriority: 0 MESSAGE .. 2 ALARM
  std::string text;
  std::int64_t sentTime = 0; // Message.arrival_time as sent, kept verbatim
  double arrivalTime = 0;    // Unix seconds, here
};

struct ConsoleLine
{
  std::string text;
  double arrivalTime = 0; // Unix seconds, here
};

// Any one of them, as tmx-web queues them for its archive.
using Record = std::variant<HousekeepingRecord, MessageRecord, ConsoleLine>;

} // namespace tmx::wire
