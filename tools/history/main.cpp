// tmx-history: reads a tmx-web archive without the service: exports the
// housekeeping records or the alarm episodes of a window, or tells what the
// archive holds.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "archive/Archive.h"
#include "archive/EpisodeJson.h"
#include "archive/TimeText.h"
#include "tools/common/CommandLine.h"
#include "tools/history/AlarmText.h"
#include "wire/HousekeepingText.h"

using namespace tmx::archive;
using tmx::wire::csvHeader;
using tmx::wire::csvRow;
using tmx::wire::jsonRow;

namespace {

const char program[] = "tmx-history";

const char usageText[] =
  "usage: tmx-history --archive FILE export --from T --to T [--housing H] [--csv|--json]\n"
  "       tmx-history --archive FILE alarms --from T --to T [--csv|--json]\n"
  "       tmx-history --archive FILE stats\n"
  "\n"
  "Reads the archive tmx-web keeps (it is never written to).\n"
  "  export  writes the housekeeping records whose reading time is in [from, to]\n"
  "          to standard output, ordered by reading time: CSV with the header line\n"
  "          housing,reading_time,reading_time_utc,temperature,humidity,water,arrival_time,\n"
  "          dew_point\n"
  "          (the same as tmx-web's /api/housekeeping?format=csv), or with --json\n"
  "          an array of objects.\n"
  "  alarms  writes the alarm episodes whose life (opened to cleared, or still\n"
  "          open) overlaps [from, to], oldest first, each with its audit trail\n"
  "          (acknowledgements, shelvings, unshelvings). CSV: one table with the\n"
  "          header line\n"
  "          record,episode,housing,kind,source,severity,opened,last_trip,trips,\n"
  "          peak,peak_at,cleared,cleared_why,latching,acknowledged_by,\n"
  "          acknowledged_at,shelved_by,shelved_until,text,action,by,address,at,\n"
  "          until,comment\n"
  "          a row \"episode\" per episode, then a row \"audit\" per entry of its\n"
  "          trail (episode and action to comment filled), so that a spreadsheet\n"
  "          can filter either; times in ISO 8601 UTC, texts with control\n"
  "          characters escaped (\\n, \\xHH) and quoted when they hold a comma or a\n"
  "          quote. --json: an array of objects, the trail as \"audit\" in each\n"
  "          (the same as tmx-web's /api/alarms?state=all).\n"
  "  stats   prints the number of records of each kind, the first and last\n"
  "          time of each, and the size of the archive.\n"
  "\n"
  "Times are Unix seconds or ISO 8601 UTC (\"2026-12-08T10:00:00Z\", also\n"
  "without the Z, or a bare date \"2026-12-08\").\n"
  "\n"
  "Options:\n"
  "  --archive FILE  the archive (required)\n"
  "  --from T        start of the window (export, alarms; required)\n"
  "  --to T          end of the window (export, alarms; required)\n"
  "  --housing H     electronics, spectrograph, 0 or 1 (export; default both)\n"
  "  --csv           CSV output (the default)\n"
  "  --json          JSON output\n"
  "  -h, --help      this text\n"
  "\n"
  "Exit status: 0 on success; 1 when the archive is refused (missing, not an\n"
  "archive, newer or damaged) or cannot be read, or the output cannot be\n"
  "written (a full disk, a closed pipe); 2 for a bad command line (an option\n"
  "given twice included).\n";

std::string timeText(const std::optional<double> &t)
{
  return t ? isoUtc(static_cast<std::int64_t>(*t)) : std::string("-");
}

void printKind(const char *name, const KindStats &k)
{
  std::printf("%-13s %llu records", name, static_cast<unsigned long long>(k.count));
  if (k.first)
    std::printf(", first %s, last %s", timeText(k.first).c_str(), timeText(k.last).c_str());
  std::printf("\n");
}

// Standard output with every write checked: after the first failure
// nothing more is written, and failed() tells why.
class Output
{
public:
  bool write(const std::string &bytes)
  {
    if (errno_ == 0 && std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size())
      errno_ = errno ? errno : EIO;
    return errno_ == 0;
  }
  // Flushes; false (with a line on standard error) when any write failed.
  bool finish(const char *what)
  {
    if (errno_ == 0 && (std::fflush(stdout) != 0 || std::ferror(stdout)))
      errno_ = errno ? errno : EIO;
    if (errno_ == 0)
      return true;
    std::fprintf(stderr, "%s: cannot write %s: %s\n", program, what, std::strerror(errno_));
    return false;
  }

private:
  int errno_ = 0;
};

// The rows of an export on standard output, written in pieces of about
// 64 KiB: with json a JSON array of the rows, otherwise the CSV header and
// rows as they are.
class Rows
{
public:
  Rows(bool json, const std::string &csvHeader)
    : json_(json)
    , out_(json ? "[" : csvHeader)
  {
  }
  // false once a write failed: the rest would fail alike.
  bool add(const std::string &row)
  {
    if (json_)
      out_ += first_ ? "\n" : ",\n";
    out_ += row;
    first_ = false;
    if (out_.size() <= 65536)
      return true;
    const bool written = output_.write(out_);
    out_.clear();
    return written;
  }
  // Exit status 0, or 1 when any write failed (said on standard error).
  int finish(const char *what)
  {
    if (json_)
      out_ += first_ ? "]\n" : "\n]\n";
    output_.write(out_);
    return output_.finish(what) ? 0 : 1;
  }

private:
  const bool json_;
  std::string out_;
  bool first_ = true;
  Output output_;
};

int exportWindow(const Archive &archive, double from, double to, std::optional<int> housing, bool json)
{
  Rows rows(json, csvHeader());
  archive.forEachRecord(
    from,
    to,
    housing,
    [&](const HousekeepingRecord &r) { return rows.add(json ? jsonRow(r).dump() : csvRow(r)); },
    static_cast<std::size_t>(-1));
  return rows.finish("the export");
}

int exportAlarms(const Archive &archive, double from, double to, bool json)
{
  Rows rows(json, tmx::tools::alarmCsvHeader());
  archive.forEachEpisode(from, to, [&](const Episode &e, const std::vector<AuditEntry> &audit) {
    return rows.add(
      json ? episodeJson(e, audit).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
           : tmx::tools::alarmCsvRows(e, audit));
  });
  return rows.finish("the alarms");
}

int printStats(const std::string &archivePath, const Stats &st)
{
  std::printf("%-13s %s\n", "archive", archivePath.c_str());
  std::printf("%-13s %llu bytes\n", "size", static_cast<unsigned long long>(st.fileBytes));
  printKind("housekeeping", st.housekeeping);
  printKind("messages", st.messages);
  printKind("console", st.console);
  printKind("episodes", st.episodes);
  return Output().finish("the statistics") ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
  // A reader that goes away (a closed pipe) is a failed write, reported
  // like any other, not a silent end.
  std::signal(SIGPIPE, SIG_IGN);
  std::string archivePath, fromText, toText, housingText;
  bool fromGiven = false, toGiven = false, housingGiven = false, csv = false, json = false;
  tmx::tools::CommandLine cl(program, usageText);
  cl.text("archive", "a file name", archivePath);
  cl.text("from", "a time", fromText, &fromGiven);
  cl.text("to", "a time", toText, &toGiven);
  cl.text("housing", "a housing", housingText, &housingGiven);
  cl.flag("csv", csv);
  cl.flag("json", json);
  std::string command;
  cl.operand(command);
  if (auto status = cl.parse(argc, argv))
    return *status;

  if (command.empty())
    return cl.usageError("a sub-command is needed: export, alarms or stats");
  if (command != "export" && command != "alarms" && command != "stats")
    return cl.usageError("unknown sub-command \"" + command + "\"");
  if (archivePath.empty())
    return cl.usageError("--archive FILE is needed");
  std::optional<double> from, to;
  std::optional<int> housing;
  if (command == "stats") {
    if (fromGiven || toGiven || housingGiven || csv || json)
      return cl.usageError("stats takes no --from, --to, --housing, --csv or --json");
  } else {
    if (!fromGiven || !toGiven)
      return cl.usageError(command + " needs --from and --to");
    if (!(from = parseTime(fromText)))
      return cl.usageError("--from needs a time (Unix seconds or ISO 8601 UTC), not \"" + fromText + "\"");
    if (!(to = parseTime(toText)))
      return cl.usageError("--to needs a time (Unix seconds or ISO 8601 UTC), not \"" + toText + "\"");
    if (*from > *to)
      return cl.usageError("--from is later than --to");
    if (housingGiven && command == "alarms")
      return cl.usageError("alarms takes no --housing");
    if (housingGiven && !(housing = parseHousing(housingText)))
      return cl.usageError("--housing needs electronics, spectrograph, 0 or 1, not \"" + housingText + "\"");
    if (csv && json)
      return cl.usageError("--csv and --json exclude each other");
  }

  try {
    OpenOptions options;
    options.readOnly = true;
    Archive archive(archivePath, options);
    if (command == "export")
      return exportWindow(archive, *from, *to, housing, json);
    if (command == "alarms")
      return exportAlarms(archive, *from, *to, json);
    return printStats(archivePath, archive.stats());
  } catch (const Error &e) {
    std::fprintf(stderr, "%s: %s\n", program, e.what());
    return 1;
  }
}
