#include "tools/watch/EventFormat.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "TMX.hh"
#include "tools/common/Quoting.h"
#include "tools/common/ToolSupport.h"

namespace tmx::tools {

namespace {

// Keeps the fields in the order they are added.
using Json = nlohmann::ordered_json;

// The IDL name of an enumerator (IDL enums count from 0), or "Type(N)" for
// a value outside the enum.
template<class Enum, std::size_t N>
std::string enumName(Enum value, const char *const (&names)[N], const char *type)
{
  const auto n = static_cast<unsigned long>(value);
  return n < N ? std::string(names[n]) : std::string(type) + "(" + std::to_string(n) + ")";
}

std::string housingName(HousingID id)
{
  static const char *const names[] = { "ELECTRONICS_HOUSING", "SPECTROGRAPH_HOUSING" };
  return enumName(id, names, "HousingID");
}

std::string priorityName(MessagePriority p)
{
  static const char *const names[] = { "MESSAGE", "WARNING", "ALARM" };
  return enumName(p, names, "MessagePriority");
}

std::string fixed2(double v)
{
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

Json jsonText(const char *text)
{
  return Json(latin1ToUtf8(text));
}

// Shortest text that reads back as the same double; null for NaN and
// infinities, which JSON cannot carry. Whole numbers print without ".0".
Json jsonNumber(double v)
{
  if (!std::isfinite(v))
    return nullptr;
  if (v == std::trunc(v) && std::fabs(v) < 1e15)
    return static_cast<long long>(v);
  return v;
}

// "%Y-%m-%dT%H:%M:%S" of seconds since 1970 read as UTC; "invalid" when
// out of range.
std::string isoSeconds(unsigned long long seconds, const char *zone)
{
  // Years beyond 9999 do not fit the format.
  if (seconds > 253402300799ULL)
    return "invalid";
  std::time_t secs = static_cast<std::time_t>(seconds);
  std::tm tm{};
  char buf[64];
  if (!gmtime_r(&secs, &tm) || !std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm))
    return "invalid";
  return std::string(buf) + zone;
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

// One decoded value: its kind and its fields in display order, each as
// "name=text" for the text line and as members of a JSON object.
struct Decoded
{
  std::string kind;    // housekeeping, message, ... or "unknown"
  std::string id;      // repository id ("" for string/empty)
  bool decoded = true; // false: a known id whose value did not extract
  std::vector<std::pair<std::string, std::string>> text;
  Json json = Json::object();

  void add(const std::string &name, const std::string &shown, Json value)
  {
    text.emplace_back(name, shown);
    json[name] = std::move(value);
  }
  void addString(const std::string &name, const char *value) { add(name, quoted(value), jsonText(value)); }
  void addName(const std::string &name, const std::string &value) { add(name, value, value); }
  // Seconds as "N (ISO 8601)"; in JSON the number and NAME+"Utc" or
  // NAME+"Local" with the ISO 8601 form.
  void addTime(const std::string &name, unsigned long long t, bool local)
  {
    std::string iso = local ? isoLocalSeconds(t) : isoUtcSeconds(t);
    text.emplace_back(name, std::to_string(t) + " (" + iso + ")");
    json[name] = t;
    json[name + (local ? "Local" : "Utc")] = iso;
  }
};

Decoded decode(const CORBA::Any &value)
{
  ValueKind vk = kindOf(value);
  Decoded d{ vk.kind, vk.id, true, {}, Json::object() };
  if (vk.kind == "housekeeping") {
    const TMX::HousekeepingData *hk = nullptr;
    if ((d.decoded = (value >>= hk))) {
      d.addName("housing", housingName(hk->id));
      d.add("temp", fixed2(hk->temp), jsonNumber(hk->temp));
      d.add("rh", fixed2(hk->rh), jsonNumber(hk->rh));
      d.add("wateralarm", hk->wateralarm ? "yes" : "no", static_cast<bool>(hk->wateralarm));
      d.addTime("readingTime", hk->readingTime, false);
    }
  } else if (vk.kind == "message") {
    const TMX::Message *m = nullptr;
    if ((d.decoded = (value >>= m))) {
      d.addName("priority", priorityName(m->priority));
      // The monitor's local date and time of the alarm counted as seconds.
      d.addTime("arrival_time", m->arrival_time, true);
      d.addString("text", m->text.in());
    }
  } else if (vk.kind == "event") {
    const TMX::Event *e = nullptr;
    if ((d.decoded = (value >>= e))) {
      d.add("id", std::to_string(e->id), e->id);
      d.addString("name", e->name.in());
      d.addTime("arrival_time", e->arrival_time, false);
    }
  } else if (vk.kind == "console") {
    const Event_Comm::Event *nested = nullptr;
    if ((d.decoded = (value >>= nested))) {
      d.addString("line", nested->tag_.in());
      ValueKind inner = kindOf(nested->value_);
      if (inner.kind != "empty") {
        const std::string &what = inner.kind == "unknown" ? inner.id : inner.kind;
        d.add("value", escaped(what.c_str()), jsonText(what.c_str()));
      }
    }
  } else if (vk.kind == "string") {
    std::string s;
    if ((d.decoded = extractString(value, s)))
      d.addString("value", s.c_str());
  }
  return d;
}

} // namespace

std::string isoUtcMillis(SystemTime t)
{
  using namespace std::chrono;
  auto secs = floor<seconds>(t);
  auto ms = duration_cast<milliseconds>(t - secs).count();
  std::time_t tt = system_clock::to_time_t(secs);
  std::tm tm{};
  gmtime_r(&tt, &tm);
  char buf[64];
  std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  std::string millis = std::to_string(1000 + ms); // "1ddd": three digits after the '1'
  return std::string(buf, n) + "." + millis.substr(1) + "Z";
}

std::string isoUtcSeconds(unsigned long long seconds)
{
  return isoSeconds(seconds, "Z");
}

std::string isoLocalSeconds(unsigned long long seconds)
{
  // The count already holds the local reading: shown without a zone shift.
  return isoSeconds(seconds, "");
}

std::string jsonString(const char *text)
{
  return jsonText(text).dump(-1, ' ', true);
}

std::string formatText(const Event_Comm::Event &event, SystemTime received)
{
  Decoded d = decode(event.value_);
  std::string line = isoUtcMillis(received) + " " + escaped((d.kind == "unknown" ? d.id : d.kind).c_str());
  line += " tag=" + quoted(event.tag_.in());
  if (!d.decoded)
    line += " (cannot decode value of type " + escaped(d.id.c_str()) + ")";
  for (const auto &[name, shown] : d.text)
    line += " " + name + "=" + shown;
  return line;
}

std::string formatJson(const Event_Comm::Event &event, SystemTime received)
{
  Decoded d = decode(event.value_);
  Json out = Json::object();
  out["received"] = isoUtcMillis(received);
  out["kind"] = d.kind;
  if (!d.id.empty())
    out["type"] = jsonText(d.id.c_str());
  out["tag"] = jsonText(event.tag_.in());
  if (!d.decoded)
    out["error"] = "cannot decode value";
  out.update(d.json);
  return out.dump(-1, ' ', true);
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
