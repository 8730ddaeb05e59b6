#include "tools/watch/EventFormat.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <sstream>
#include <vector>

#include "TMX.hh"
#include "tools/common/ToolSupport.h"

namespace tmx::tools {

namespace {

std::string housingName(HousingID id)
{
  switch (id) {
    case ELECTRONICS_HOUSING:
      return "ELECTRONICS_HOUSING";
    case SPECTROGRAPH_HOUSING:
      return "SPECTROGRAPH_HOUSING";
  }
  return "HousingID(" + std::to_string(static_cast<unsigned long>(id)) + ")";
}

std::string priorityName(MessagePriority p)
{
  switch (p) {
    case MESSAGE:
      return "MESSAGE";
    case WARNING:
      return "WARNING";
    case ALARM:
      return "ALARM";
  }
  return "MessagePriority(" + std::to_string(static_cast<unsigned long>(p)) + ")";
}

std::string fixed2(double v)
{
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

// Shortest text that reads back as the same double; null for NaN and
// infinities, which JSON cannot carry.
std::string jsonNumber(double v)
{
  if (!std::isfinite(v))
    return "null";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

std::string timeText(unsigned long long t)
{
  return std::to_string(t) + " (" + isoUtcSeconds(t) + ")";
}

// Extracts a string value whatever its bound.
bool extractString(const CORBA::Any &value, std::string &out)
{
  CORBA::TypeCode_var tc = value.type();
  while (tc->kind() == CORBA::tk_alias)
    tc = tc->content_type();
  if (tc->kind() != CORBA::tk_string)
    return false;
  const char *s = nullptr;
  if (!(value >>= CORBA::Any::to_string(s, tc->length())))
    return false;
  out = s ? s : "";
  return true;
}

// One decoded value: its kind and its fields in display order, each field
// as (name, text form, JSON form).
struct Field
{
  std::string name;
  std::string text;
  std::string json;
};

struct Decoded
{
  std::string kind;    // housekeeping, message, ... or "unknown"
  std::string id;      // repository id ("" for string/empty)
  bool decoded = true; // false: a known id whose value did not extract
  std::vector<Field> fields;
};

Field str(const std::string &name, const char *v)
{
  return { name, quoted(v), jsonString(v) };
}

Field timeField(const std::string &name, unsigned long long t)
{
  return { name, timeText(t), std::to_string(t) + ",\"" + name + "Utc\":\"" + isoUtcSeconds(t) + "\"" };
}

Decoded decode(const CORBA::Any &value)
{
  ValueKind vk = kindOf(value);
  Decoded d{ vk.kind, vk.id, true, {} };
  if (vk.kind == "housekeeping") {
    const TMX::HousekeepingData *hk = nullptr;
    if ((d.decoded = (value >>= hk))) {
      d.fields = { { "housing", housingName(hk->id), jsonString(housingName(hk->id).c_str()) },
                   { "temp", fixed2(hk->temp), jsonNumber(hk->temp) },
                   { "rh", fixed2(hk->rh), jsonNumber(hk->rh) },
                   { "wateralarm", hk->wateralarm ? "yes" : "no", hk->wateralarm ? "true" : "false" },
                   timeField("readingTime", hk->readingTime) };
    }
  } else if (vk.kind == "message") {
    const TMX::Message *m = nullptr;
    if ((d.decoded = (value >>= m))) {
      d.fields = { { "priority", priorityName(m->priority), jsonString(priorityName(m->priority).c_str()) },
                   timeField("arrival_time", m->arrival_time),
                   str("text", m->text.in()) };
    }
  } else if (vk.kind == "event") {
    const TMX::Event *e = nullptr;
    if ((d.decoded = (value >>= e))) {
      d.fields = { { "id", std::to_string(e->id), std::to_string(e->id) },
                   str("name", e->name.in()),
                   timeField("arrival_time", e->arrival_time) };
    }
  } else if (vk.kind == "console") {
    const Event_Comm::Event *nested = nullptr;
    if ((d.decoded = (value >>= nested))) {
      d.fields = { str("line", nested->tag_.in()) };
      ValueKind inner = kindOf(nested->value_);
      if (inner.kind != "empty")
        d.fields.push_back({ "value",
                             inner.kind == "unknown" ? inner.id : inner.kind,
                             jsonString((inner.kind == "unknown" ? inner.id : inner.kind).c_str()) });
    }
  } else if (vk.kind == "string") {
    std::string s;
    if ((d.decoded = extractString(value, s)))
      d.fields = { str("value", s.c_str()) };
  }
  return d;
}

} // namespace

std::string isoUtcMillis(SystemTime t)
{
  using namespace std::chrono;
  auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
  std::time_t secs = static_cast<std::time_t>(ms / 1000);
  long frac = static_cast<long>(ms % 1000);
  if (frac < 0) {
    frac += 1000;
    --secs;
  }
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[64];
  std::snprintf(buf,
                sizeof buf,
                "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ",
                tm.tm_year + 1900,
                tm.tm_mon + 1,
                tm.tm_mday,
                tm.tm_hour,
                tm.tm_min,
                tm.tm_sec,
                frac);
  return buf;
}

std::string isoUtcSeconds(unsigned long long seconds)
{
  // Years beyond 9999 do not fit the format.
  if (seconds > 253402300799ULL)
    return "invalid";
  std::time_t secs = static_cast<std::time_t>(seconds);
  std::tm tm{};
  if (!gmtime_r(&secs, &tm))
    return "invalid";
  char buf[64];
  std::snprintf(buf,
                sizeof buf,
                "%04d-%02d-%02dT%02d:%02d:%02dZ",
                tm.tm_year + 1900,
                tm.tm_mon + 1,
                tm.tm_mday,
                tm.tm_hour,
                tm.tm_min,
                tm.tm_sec);
  return buf;
}

namespace {

// The quoting both forms share: quotes, backslashes, \n, \r and \t by
// name, other control characters and DEL as \xHH (C) or \u00HH (JSON).
// JSON also names \b and \f, and shows bytes above 0x7f as Latin-1
// characters (strings on the wire carry no encoding), so the output stays
// valid UTF-8.
std::string escaped(const char *text, bool json)
{
  std::string out = "\"";
  for (const char *p = text ? text : ""; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    char buf[8];
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (json && c == '\b') {
          out += "\\b";
        } else if (json && c == '\f') {
          out += "\\f";
        } else if (json && (c < 0x20 || c >= 0x7f)) {
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else if (c < 0x20 || c == 0x7f) {
          std::snprintf(buf, sizeof buf, "\\x%02x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

} // namespace

std::string quoted(const char *text)
{
  return escaped(text, false);
}

std::string jsonString(const char *text)
{
  return escaped(text, true);
}

std::string formatText(const Event_Comm::Event &event, SystemTime received)
{
  Decoded d = decode(event.value_);
  std::string line = isoUtcMillis(received) + " " + (d.kind == "unknown" ? d.id : d.kind);
  line += " tag=" + quoted(event.tag_.in());
  if (!d.decoded)
    line += " (cannot decode value of type " + d.id + ")";
  for (const auto &f : d.fields)
    line += " " + f.name + "=" + f.text;
  return line;
}

std::string formatJson(const Event_Comm::Event &event, SystemTime received)
{
  Decoded d = decode(event.value_);
  std::string out = "{\"received\":\"" + isoUtcMillis(received) + "\",\"kind\":" + jsonString(d.kind.c_str());
  if (!d.id.empty())
    out += ",\"type\":" + jsonString(d.id.c_str());
  out += ",\"tag\":" + jsonString(event.tag_.in());
  if (!d.decoded)
    out += ",\"error\":\"cannot decode value\"";
  for (const auto &f : d.fields)
    out += ",\"" + f.name + "\":" + f.json;
  return out + "}";
}

const char *csvHeader()
{
  return "received,housing,temp,rh,wateralarm,readingTime,readingTimeUtc";
}

std::optional<std::string> formatCsv(const Event_Comm::Event &event, SystemTime received)
{
  const TMX::HousekeepingData *hk = nullptr;
  if (kindOf(event.value_).kind != "housekeeping" || !(event.value_ >>= hk))
    return std::nullopt;
  return isoUtcMillis(received) + "," + housingName(hk->id) + "," + fixed2(hk->temp) + "," + fixed2(hk->rh) +
         "," + (hk->wateralarm ? "1" : "0") + "," + std::to_string(hk->readingTime) + "," +
         isoUtcSeconds(hk->readingTime);
}

} // namespace tmx::tools
