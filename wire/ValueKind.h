// What a published value is, told by the TypeCode of an Event_Comm::Event's
// value_ (never by its tag_).
#pragma once

#include <optional>
#include <string>

#include <omniORB4/CORBA.h>

namespace tmx::wire {

enum class ValueKind
{
  housekeeping, // TMX::HousekeepingData
  message,      // TMX::Message
  event,        // TMX::Event
  console,      // a nested Event_Comm::Event: a console line in its tag_
  string,       // a string of any bound
  empty,        // no value (tk_null, tk_void)
  unknown       // anything else
};

// "housekeeping", "message", "event", "console", "string", "empty",
// "unknown".
const char *kindName(ValueKind kind);
// The kind of one of those names; nullopt for any other text.
std::optional<ValueKind> kindNamed(const std::string &name);

// A value's kind and the repository id of its TypeCode (aliases resolved):
// "" for types that have none (string, empty); "tk_N" for basic types,
// which have no repository id.
struct ValueType
{
  ValueKind kind = ValueKind::empty;
  std::string id;

  // The kind's name, or the repository id of an unknown value.
  std::string shownName() const { return kind == ValueKind::unknown ? id : kindName(kind); }
};
ValueType typeOf(const CORBA::Any &value);

} // namespace tmx::wire
