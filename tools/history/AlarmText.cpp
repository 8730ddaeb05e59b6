#include "tools/history/AlarmText.h"

#include <charconv>
#include <cmath>
#include <optional>

#include "wire/Quoting.h"
#include "wire/Records.h"
#include "wire/TimeText.h"

namespace tmx::tools {

namespace {

using archive::AuditEntry;
using archive::Episode;
using archive::OperatorAction;
using nlohmann::json;

std::string iso(double t)
{
  return wire::isoUtc(static_cast<std::int64_t>(std::floor(t)));
}

// Shortest decimal that reads back as the same double.
std::string number(double v)
{
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

// A text as one CSV field: control characters escaped, quoted when it
// holds a separator or a quote.
std::string field(const std::string &text)
{
  const std::string e = wire::escaped(text.c_str());
  if (e.find_first_of(",\"") == std::string::npos)
    return e;
  std::string out = "\"";
  for (char c : e) {
    if (c == '"')
      out += '"';
    out += c;
  }
  return out + "\"";
}

// The columns of the header; an audit row's own ones start at auditColumn.
constexpr std::size_t columnCount = 25;
constexpr std::size_t auditColumn = 19;

void appendLine(std::string &out, const std::vector<std::string> &fields)
{
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0)
      out += ',';
    out += fields[i];
  }
  out += '\n';
}

std::string optionalTime(const std::optional<double> &t)
{
  return t ? iso(*t) : std::string();
}

// Sets name and name + "Utc".
void setTime(json &j, const std::string &name, const std::optional<double> &t)
{
  j[name] = t ? json(*t) : json(nullptr);
  j[name + "Utc"] = t ? json(iso(*t)) : json(nullptr);
}

json actionJson(const OperatorAction &a)
{
  json j;
  j["by"] = a.by;
  j["address"] = a.address;
  setTime(j, "at", a.at);
  j["comment"] = a.comment;
  return j;
}

} // namespace

const std::string &alarmCsvHeader()
{
  static const std::string header =
    "record,episode,housing,kind,source,severity,opened,last_trip,trips,peak,peak_at,cleared,cleared_why,"
    "latching,acknowledged_by,acknowledged_at,shelved_by,shelved_until,text,action,by,address,at,until,"
    "comment\n";
  return header;
}

std::string alarmCsvRows(const Episode &e, const std::vector<AuditEntry> &audit)
{
  std::string out;
  const std::string id = std::to_string(e.id);
  std::vector<std::string> row = { "episode",
                                   id,
                                   e.housing ? wire::housingName(*e.housing) : "",
                                   field(e.kind),
                                   field(e.source),
                                   field(e.severity),
                                   iso(e.opened),
                                   iso(e.lastTrip),
                                   std::to_string(e.trips),
                                   e.peakValue ? number(*e.peakValue) : "",
                                   optionalTime(e.peakAt),
                                   optionalTime(e.cleared),
                                   field(e.clearedWhy),
                                   e.latching ? "1" : "0",
                                   e.acknowledged ? field(e.acknowledged->by) : "",
                                   e.acknowledged ? iso(e.acknowledged->at) : "",
                                   e.shelved ? field(e.shelved->action.by) : "",
                                   e.shelved ? iso(e.shelved->until) : "",
                                   field(e.text) };
  row.resize(columnCount);
  appendLine(out, row);
  for (const auto &a : audit) {
    std::vector<std::string> line(auditColumn);
    line[0] = "audit";
    line[1] = id;
    for (auto &f : { field(a.action),
                     field(a.by.by),
                     field(a.by.address),
                     iso(a.by.at),
                     optionalTime(a.until),
                     field(a.by.comment) })
      line.push_back(f);
    appendLine(out, line);
  }
  return out;
}

json alarmJson(const Episode &e, const std::vector<AuditEntry> &audit)
{
  json j;
  j["id"] = e.id;
  j["housing"] = e.housing ? json(wire::housingName(*e.housing)) : json(nullptr);
  j["kind"] = e.kind;
  j["source"] = e.source;
  j["severity"] = e.severity;
  j["text"] = e.text;
  setTime(j, "opened", e.opened);
  setTime(j, "lastTrip", e.lastTrip);
  j["trips"] = e.trips;
  j["peakValue"] = e.peakValue ? json(*e.peakValue) : json(nullptr);
  setTime(j, "peakAt", e.peakAt);
  setTime(j, "cleared", e.cleared);
  j["clearedWhy"] = e.clearedWhy;
  j["latching"] = e.latching;
  j["acknowledged"] = e.acknowledged ? actionJson(*e.acknowledged) : json(nullptr);
  if (e.shelved) {
    json s = actionJson(e.shelved->action);
    setTime(s, "until", e.shelved->until);
    j["shelved"] = std::move(s);
  } else {
    j["shelved"] = nullptr;
  }
  json entries = json::array();
  for (const auto &a : audit) {
    json x = actionJson(a.by);
    x["action"] = a.action;
    setTime(x, "until", a.until);
    entries.push_back(std::move(x));
  }
  j["audit"] = std::move(entries);
  return j;
}

} // namespace tmx::tools
