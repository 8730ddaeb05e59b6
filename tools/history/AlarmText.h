// The CSV form of alarm episodes in tmx-history alarms.
//
// CSV: one table, so that a spreadsheet can sort and filter it whole. The
// header line
//   record,episode,housing,kind,source,severity,opened,last_trip,trips,peak,
//   peak_at,cleared,cleared_why,latching,acknowledged_by,acknowledged_at,
//   shelved_by,shelved_until,text,action,by,address,at,until,comment
// (one line), then per episode a line with record "episode" (its columns up
// to text filled), followed by a line with record "audit" for each entry of
// its audit trail (episode, and action to comment filled). Times are
// ISO 8601 UTC, empty when there is none; numbers in their shortest exact
// form; housing the housing's name, empty for none; latching 0/1. Texts
// have their control characters escaped as wire/Quoting.h does (one line
// per row), and are quoted as CSV quotes (inner '"' doubled) when they hold
// a comma or a quote. "\n" ends every line.
//
// JSON: archive/EpisodeJson.h, the form tmx-web's /api/alarms gives.
#pragma once

#include <string>
#include <vector>

#include "archive/Episode.h"

namespace tmx::tools {

// The header line, with its "\n".
const std::string &alarmCsvHeader();
// The lines of one episode and its audit trail.
std::string alarmCsvRows(const archive::Episode &e, const std::vector<archive::AuditEntry> &audit);

} // namespace tmx::tools
