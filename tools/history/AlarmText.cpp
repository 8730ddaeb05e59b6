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

} // namespace tmx::tools
