#include "web/AlarmState.h"

#include <algorithm>
#include <exception>
#include <map>
#include <utility>

#include "web/AlarmViews.h"
#include "web/LiveState.h"

namespace tmx::web {

namespace {

// Bounds on what is kept while the archive refuses changes: the episodes
// are few (each kept once, as it is last), audit lines are not.
constexpr std::size_t maxUnwrittenAudit = 10000;

// Folds `more` into `into`: each episode once, as it is last.
void merge(Changes &into, Changes more)
{
  for (auto &e : more.episodes) {
    auto same = std::find_if(
      into.episodes.begin(), into.episodes.end(), [&e](const archive::Episode &x) { return x.id == e.id; });
    if (same != into.episodes.end())
      *same = std::move(e);
    else
      into.episodes.push_back(std::move(e));
  }
  for (auto &a : more.audit)
    into.audit.push_back(std::move(a));
}

} // namespace

AlarmState::AlarmState(archive::Archive &archive, EventHub &hub, Report report, int maxShelveMinutes)
  : archive_(archive)
  , hub_(hub)
  , report_(std::move(report))
  , book_(maxShelveMinutes)
{
  book_.restore(archive_.currentEpisodes(), archive_.lastEpisodeId() + 1);
}

void AlarmState::setLimits(const LimitsSet &limits)
{
  std::lock_guard<std::mutex> lock(mutex_);
  book_.setLimits(limits);
}

void AlarmState::message(const wire::MessageRecord &message)
{
  const std::optional<alarmtext::Recognised> said = alarmtext::recognise(message.priority, message.text);
  if (!said || said->accompanies)
    return;
  update([&] { return book_.onMessage(*said, message.text, message.arrivalTime); });
}

void AlarmState::housekeeping(const wire::HousekeepingRecord &record)
{
  update([&] { return book_.onHousekeeping(record, record.arrivalTime); });
}

void AlarmState::tick(double now, const LinkStatus &link, double started)
{
  AlarmBook::Facts facts;
  if (link.lastRecord)
    facts.lastRecord = unixSeconds(*link.lastRecord);
  facts.started = started;
  // A link that is being made again (the notifier restarted) is not an
  // alarm until it has been down as long as records may pause.
  facts.subscribed = link.state == LinkState::subscribed || now - unixSeconds(link.since) < staleSeconds;
  update([&] { return book_.onTick(now, facts); });
}

void AlarmState::update(const std::function<Changes()> &f)
{
  bool any = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    any = change(f);
  }
  if (any)
    changed();
}

AlarmState::Outcome AlarmState::act(std::int64_t id, const OperatorRequest &request)
{
  Outcome outcome = applyAction(id, request);
  if (outcome.status == 200)
    changed();
  return outcome;
}

AlarmState::Outcome AlarmState::applyAction(std::int64_t id, const OperatorRequest &request)
{
  std::lock_guard<std::mutex> lock(mutex_);
  std::optional<archive::Episode> episode = book_.find(id);
  const bool held = episode.has_value();
  if (!held) {
    try {
      episode = archive_.episode(id);
    } catch (const std::exception &e) {
      return { 503, std::nullopt, std::string("the archive cannot be read: ") + e.what() };
    }
  }
  if (!episode)
    return { 404, std::nullopt, "no alarm " + std::to_string(id) };

  Changes changes;
  const ActionResult result = apply(*episode, request, book_.maxShelveMinutes(), changes);
  if (result == ActionResult::unchanged)
    return { 200, episode, "" };
  if (result != ActionResult::ok)
    return { result == ActionResult::notShelvable || result == ActionResult::notShelved ? 409 : 400,
             std::nullopt,
             actionRefusal(result, book_.maxShelveMinutes()) };
  // Kept first, then shown: an answer of 200 is an action on disk.
  std::string why;
  if (!write(changes, true, why))
    return { 503, std::nullopt, "the archive cannot keep it: " + why };
  if (held)
    book_.replace(*episode);
  for (const auto &e : changes.episodes)
    hub_.publish("alarm", episodeJson(e));
  return { 200, episode, "" };
}

std::vector<archive::Episode> AlarmState::list(bool activeOnly,
                                               double from,
                                               double to,
                                               std::size_t limit) const
{
  if (activeOnly) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<archive::Episode> current = book_.current();
    if (current.size() > limit)
      current.resize(limit);
    return current;
  }
  return archive_.episodes(from, to, false, limit);
}

std::vector<archive::AuditEntry> AlarmState::audit(std::int64_t episode) const
{
  return archive_.audit(episode);
}

AlarmHealth AlarmState::health(double hours, double now) const
{
  const double from = now - hours * 3600.0;
  std::vector<archive::Episode> episodes = archive_.episodes(from, now, false, archive::maxLogEntries);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto &e : book_.current())
      episodes.push_back(std::move(e));
  }
  return alarmHealth(episodes, from, now);
}

std::vector<AlarmBook::Count> AlarmState::counts() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return book_.counts();
}

std::uint64_t AlarmState::opened() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return opened_;
}

bool AlarmState::change(const std::function<Changes()> &f)
{
  const std::int64_t before = book_.nextId();
  Changes changes = f();
  opened_ += static_cast<std::uint64_t>(book_.nextId() - before);

  const bool any = !changes.empty();
  if (!any && unwritten_.empty())
    return false;
  // Stored first, then shown: the events never tell of a change the
  // archive has not been given. A change it refuses is shown all the same
  // (the live state holds it) and written again at the next tick.
  std::vector<archive::Episode> shown = changes.episodes;
  merge(unwritten_, std::move(changes));
  std::string why;
  // What records and messages change is written as records are (a power
  // cut may lose the last moments); an operator's action is synced.
  if (write(unwritten_, !unwritten_.audit.empty(), why))
    unwritten_ = Changes{};
  else if (unwritten_.audit.size() > maxUnwrittenAudit)
    unwritten_.audit.erase(unwritten_.audit.begin(),
                           unwritten_.audit.end() - static_cast<std::ptrdiff_t>(maxUnwrittenAudit));
  for (const auto &e : shown)
    hub_.publish("alarm", episodeJson(e));
  return any;
}

bool AlarmState::write(const Changes &changes, bool synced, std::string &why)
{
  try {
    archive_.saveAlarms(changes.episodes, changes.audit, synced);
  } catch (const std::exception &e) {
    why = e.what();
    if (!failing_)
      report_("alarm state not written to the archive (kept, tried again each second): " + why);
    failing_ = true;
    return false;
  }
  if (failing_)
    report_("alarm state written to the archive again");
  failing_ = false;
  return true;
}

} // namespace tmx::web
