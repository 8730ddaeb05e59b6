// The one decoder of what the notifier delivers: an Event_Comm::Event's
// value_ as plain data. decode() keeps every field as it was sent (tmx-watch
// shows them so); recordOf() gives the record the programs keep, checked.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "Event_Comm.hh"
#include "wire/Records.h"
#include "wire/ValueKind.h"

namespace tmx::wire {

// The fields of the values as sent; enumerations as their numbers, which
// may lie outside the IDL enum, texts as the bytes sent (Latin-1).
struct SentHousekeeping
{
  unsigned long housing = 0; // HousingID
  double temp = 0, rh = 0;   // -1.0: could not be read
  bool water = false;
  unsigned long long readingTime = 0; // Unix seconds
};

struct SentMessage
{
  unsigned long priority = 0; // MessagePriority
  // The monitor's local date and time of the alarm counted as seconds
  // since 1970-01-01 00:00, without any zone shift.
  unsigned long long arrivalTime = 0;
  std::string text;
};

struct SentEvent
{
  short id = 0;
  std::string name;
  unsigned long long arrivalTime = 0; // Unix seconds
};

// A console line: a nested Event_Comm::Event whose tag_ is the line.
struct SentConsole
{
  std::string line;
  ValueType inner; // what the nested event carries as its value_
};

struct SentString
{
  std::string value;
};

struct Decoded
{
  ValueType type;
  // false: a known type whose value did not extract (value is empty).
  bool decoded = true;
  // monostate for empty and unknown values.
  std::variant<std::monostate, SentHousekeeping, SentMessage, SentEvent, SentConsole, SentString> value;
};

Decoded decode(const CORBA::Any &value);

// The record kept for an event: housekeeping data, an alarm message or a
// console line; nothing for other kinds and for housings or priorities the
// monitor does not have. Texts are taken as Latin-1 and kept as UTF-8.
// arrival: Unix seconds, now.
std::optional<Record> recordOf(const Event_Comm::Event &event, double arrival);

} // namespace tmx::wire
