#include "wire/ValueKind.h"

#include <iterator>

namespace tmx::wire {

namespace {

// In the order of ValueKind.
const char *const kindNames[] = {
  "housekeeping", "message", "event", "console", "string", "empty", "unknown"
};

} // namespace

const char *kindName(ValueKind kind)
{
  return kindNames[static_cast<int>(kind)];
}

std::optional<ValueKind> kindNamed(const std::string &name)
{
  for (std::size_t i = 0; i < std::size(kindNames); ++i)
    if (name == kindNames[i])
      return static_cast<ValueKind>(i);
  return std::nullopt;
}

ValueType typeOf(const CORBA::Any &value)
{
  CORBA::TypeCode_var tc = value.type();
  while (tc->kind() == CORBA::tk_alias)
    tc = tc->content_type();
  switch (tc->kind()) {
    case CORBA::tk_null:
    case CORBA::tk_void:
      return { ValueKind::empty, "" };
    case CORBA::tk_string:
      return { ValueKind::string, "" };
    default:
      break;
  }
  std::string id;
  try {
    id = tc->id();
  } catch (const CORBA::TypeCode::BadKind &) {
    // Basic types have no repository id: name them by their kind.
    return { ValueKind::unknown, "tk_" + std::to_string(static_cast<int>(tc->kind())) };
  }
  static const std::pair<const char *, ValueKind> known[] = {
    { "IDL:TMX/HousekeepingData:1.0", ValueKind::housekeeping },
    { "IDL:TMX/Message:1.0", ValueKind::message },
    { "IDL:TMX/Event:1.0", ValueKind::event },
    { "IDL:Event_Comm/Event:1.0", ValueKind::console },
  };
  for (const auto &[knownId, kind] : known)
    if (id == knownId)
      return { kind, id };
  return { ValueKind::unknown, id };
}

} // namespace tmx::wire
