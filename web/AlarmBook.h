// The alarms tmx-web shows as state: the current episodes (active ones,
// latched ones, shelved ones), made and changed from what the monitor says
// (alarmtext::Recognised), from housekeeping records, from tmx-web's own
// facts (no records; not subscribed) and from operators' actions.
//
// Pure and thread-compatible: no threads, no clock reads (every call takes
// `now`, Unix seconds); the caller locks. Every input returns what changed,
// for the caller to store in the archive and stream to the dashboard.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "archive/Episode.h"
#include "config/AlarmTexts.h"
#include "config/LimitsFile.h"
#include "wire/Records.h"

namespace tmx::web {

// The episodes as they are after a change (each at most once), and the
// audit lines the change added.
struct Changes
{
  std::vector<archive::Episode> episodes;
  std::vector<archive::AuditEntry> audit;

  bool empty() const { return episodes.empty() && audit.empty(); }
};

enum class ActionResult
{
  ok,
  unchanged,      // already so (acknowledged twice): no audit line
  commentTooLong, // over archive::maxCommentLength characters
  badMinutes,     // shelving for less than a minute or above the longest
  notShelvable,   // only an active or latched episode can be shelved
  notShelved,
  notHeld // AlarmBook::act: no current episode of that id
};
const char *resultName(ActionResult result);

// What an operator asks of an episode.
struct OperatorRequest
{
  enum class What
  {
    acknowledge,
    shelve,
    unshelve
  };
  What what = What::acknowledge;
  archive::OperatorAction action; // action.at is the time of the request
  int minutes = 0;                // shelve only
};

constexpr int defaultMaxShelveMinutes = 24 * 60;

// The operators' actions on one episode, wherever it comes from (the book
// or the archive). On ok the episode is changed, and it and one audit line
// are added to `changes`; otherwise nothing is changed.
ActionResult acknowledge(archive::Episode &episode, const archive::OperatorAction &by, Changes &changes);
// Shelved until by.at + minutes; shelving again replaces the shelving.
ActionResult shelve(archive::Episode &episode,
                    const archive::OperatorAction &by,
                    int minutes,
                    int maxMinutes,
                    Changes &changes);
ActionResult unshelve(archive::Episode &episode, const archive::OperatorAction &by, Changes &changes);
// One of the three, as the request says.
ActionResult apply(archive::Episode &episode,
                   const OperatorRequest &request,
                   int maxMinutes,
                   Changes &changes);

// Whether the book keeps an episode: active, latched or shelved.
bool isCurrent(const archive::Episode &episode);

class AlarmBook
{
public:
  // At most this many current episodes are held (see bound()).
  static constexpr std::size_t maxEpisodes = 1000;

  explicit AlarmBook(int maxShelveMinutes = defaultMaxShelveMinutes);

  // The state at start: the current episodes the archive held, and the id
  // the next new episode gets (raised above every id given). Replaces
  // whatever the book held; episodes no longer current are left out.
  void restore(std::vector<archive::Episode> current, std::int64_t nextId);

  // Limits for the records to clear limit episodes by (optional).
  void setLimits(const LimitsSet &limits);

  // A monitor message about an alarm, with its text.
  Changes onMessage(const alarmtext::Recognised &message, const std::string &text, double now);
  // A housekeeping record of a housing, arrived at `now`.
  Changes onHousekeeping(const wire::HousekeepingRecord &record, double now);

  // What tmx-web knows of its own inputs at a tick.
  struct Facts
  {
    std::optional<double> lastRecord; // arrival of the last record, none since start
    double started = 0;               // when tmx-web started
    bool subscribed = false;          // the notifier link
  };
  // Shelvings expired by `now`; the silent monitor and the notifier link.
  Changes onTick(double now, const Facts &facts);

  // An operator's request on a held episode; notHeld for any other (the
  // caller then loads it from the archive and uses apply()).
  ActionResult act(std::int64_t id, const OperatorRequest &request, Changes &changes);
  // A held episode as an action done elsewhere (apply()) left it: held on
  // while current, forgotten once not. Episodes not held are ignored.
  void replace(const archive::Episode &episode);

  // Newest first by opening.
  std::vector<archive::Episode> current() const;
  std::optional<archive::Episode> find(std::int64_t id) const;
  std::int64_t nextId() const { return nextId_; }
  int maxShelveMinutes() const { return maxShelveMinutes_; }

  // The held episodes of one (housing, kind, severity). Combinations not
  // listed count zero everywhere.
  struct Count
  {
    std::optional<int> housing;
    std::string kind;
    std::string severity;
    int active = 0;
    int unacknowledged = 0;
    int shelved = 0;
  };
  std::vector<Count> counts() const;

private:
  archive::Episode *activeOf(alarmtext::AlarmKind kind,
                             const std::optional<int> &housing,
                             const std::string &source);
  archive::Episode &open(alarmtext::AlarmKind kind,
                         const std::optional<int> &housing,
                         const std::string &source,
                         const std::string &text,
                         double now,
                         Changes &changes);
  void trip(const alarmtext::Recognised &message, const std::string &text, double now, Changes &changes);
  void clear(archive::Episode &episode, const std::string &why, double now, Changes &changes);
  void trackLimits(const wire::HousekeepingRecord &record, double now, Changes &changes);
  void tickOwn(alarmtext::AlarmKind kind, bool raised, const std::string &why, double now, Changes &changes);
  // Drops episodes no longer current; keeps at most maxEpisodes.
  void settle();

  int maxShelveMinutes_;
  std::int64_t nextId_ = 1;
  std::optional<LimitsSet> limits_;
  std::map<std::int64_t, archive::Episode> held_; // by id
};

} // namespace tmx::web
