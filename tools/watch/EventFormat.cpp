#include "tools/watch/EventFormat.h"

#include <cmath>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "wire/Decode.h"
#include "wire/HousekeepingText.h"
#include "wire/Quoting.h"
#include "wire/TimeText.h"

namespace tmx::tools {

namespace {

using wire::escaped;
using wire::quoted;

// Keeps the fields in the order they are added.
using Json = nlohmann::ordered_json;

Json jsonText(const char *text)
{
  return Json(wire::latin1ToUtf8(text));
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

// A decoded value's fields in display order, each as "name=text" for the
// text line and as members of a JSON object.
struct Fields
{
  std::vector<std::pair<std::string, std::string>> text;
  Json json = Json::object();

  void add(const std::string &name, const std::string &shown, Json value)
  {
    text.emplace_back(name, shown);
    json[name] = std::move(value);
  }
  void addString(const std::string &name, const std::string &value)
  {
    add(name, quoted(value.c_str()), jsonText(value.c_str()));
  }
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

  void operator()(std::monostate) {}
  void operator()(const wire::SentHousekeeping &hk)
  {
    addName("housing", wire::housingIdName(hk.housing));
    add("temp", wire::fixed2(hk.temp), jsonNumber(hk.temp));
    add("rh", wire::fixed2(hk.rh), jsonNumber(hk.rh));
    add("wateralarm", hk.water ? "yes" : "no", hk.water);
    addTime("readingTime", hk.readingTime, false);
  }
  void operator()(const wire::SentMessage &m)
  {
    addName("priority", wire::priorityIdName(m.priority));
    addTime("arrival_time", m.arrivalTime, true);
    addString("text", m.text);
  }
  void operator()(const wire::SentEvent &e)
  {
    add("id", std::to_string(e.id), e.id);
    addString("name", e.name);
    addTime("arrival_time", e.arrivalTime, false);
  }
  void operator()(const wire::SentConsole &c)
  {
    addString("line", c.line);
    if (c.inner.kind != wire::ValueKind::empty) {
      const std::string what = c.inner.shownName();
      add("value", escaped(what.c_str()), jsonText(what.c_str()));
    }
  }
  void operator()(const wire::SentString &s) { addString("value", s.value); }
};

Fields fieldsOf(const wire::Decoded &d)
{
  Fields f;
  std::visit(f, d.value);
  return f;
}

} // namespace

std::string isoUtcMillis(SystemTime t)
{
  return wire::isoUtcMillis(t);
}

std::string isoUtcSeconds(unsigned long long seconds)
{
  return wire::isoSent(seconds, "Z");
}

std::string isoLocalSeconds(unsigned long long seconds)
{
  // The count already holds the local reading: shown without a zone shift.
  return wire::isoSent(seconds, "");
}

std::string jsonString(const char *text)
{
  return jsonText(text).dump(-1, ' ', true);
}

std::string formatText(const Event_Comm::Event &event, SystemTime received)
{
  const wire::Decoded d = wire::decode(event.value_);
  std::string line = isoUtcMillis(received) + " " + escaped(d.type.shownName().c_str());
  line += " tag=" + quoted(event.tag_.in());
  if (!d.decoded)
    line += " (cannot decode value of type " + escaped(d.type.id.c_str()) + ")";
  for (const auto &[name, shown] : fieldsOf(d).text)
    line += " " + name + "=" + shown;
  return line;
}

std::string formatJson(const Event_Comm::Event &event, SystemTime received)
{
  const wire::Decoded d = wire::decode(event.value_);
  Json out = Json::object();
  out["received"] = isoUtcMillis(received);
  out["kind"] = wire::kindName(d.type.kind);
  if (!d.type.id.empty())
    out["type"] = jsonText(d.type.id.c_str());
  out["tag"] = jsonText(event.tag_.in());
  if (!d.decoded)
    out["error"] = "cannot decode value";
  out.update(fieldsOf(d).json);
  return out.dump(-1, ' ', true);
}

const char *csvHeader()
{
  return wire::sentCsvHeader();
}

std::optional<std::string> formatCsv(const Event_Comm::Event &event, SystemTime received)
{
  const wire::Decoded d = wire::decode(event.value_);
  if (const auto *hk = std::get_if<wire::SentHousekeeping>(&d.value))
    return wire::sentCsvRow(*hk, received);
  return std::nullopt;
}

} // namespace tmx::tools
