#include "web/AlarmBook.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <tuple>

#include "config/Limits.h"
#include "web/LiveState.h"

namespace tmx::web {

using alarmtext::AlarmKind;
using archive::Episode;
using archive::OperatorAction;
using Effect = alarmtext::Recognised::Effect;

namespace {

const char *nameOf(AlarmKind kind)
{
  return alarmtext::kindName(kind);
}

bool latches(AlarmKind kind)
{
  return kind == AlarmKind::water || kind == AlarmKind::condensation;
}

bool critical(AlarmKind kind)
{
  return latches(kind) || kind == AlarmKind::monitorSilent;
}

// Characters as UTF-8 code points: every byte that does not continue one.
std::size_t codePoints(const std::string &text)
{
  return static_cast<std::size_t>(std::count_if(
    text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

bool commentTooLong(const OperatorAction &by)
{
  return codePoints(by.comment) > archive::maxCommentLength;
}

// Adds the episode as it now is, replacing an earlier state of it.
void note(Changes &changes, const Episode &episode)
{
  for (Episode &e : changes.episodes)
    if (e.id == episode.id) {
      e = episode;
      return;
    }
  changes.episodes.push_back(episode);
}

void audit(Changes &changes,
           const Episode &episode,
           const char *action,
           const OperatorAction &by,
           std::optional<double> until = std::nullopt)
{
  changes.audit.push_back({ episode.id, action, by, until });
  note(changes, episode);
}

// The value a limit episode's peak is about, from a record; none for other
// kinds or readings missing.
std::optional<double> limitValue(const std::string &kind,
                                 const std::optional<double> &temperature,
                                 const std::optional<double> &humidity)
{
  if (kind == nameOf(AlarmKind::temperatureHigh) || kind == nameOf(AlarmKind::temperatureLow))
    return temperature;
  if (kind == nameOf(AlarmKind::humidityHigh))
    return humidity;
  if (kind == nameOf(AlarmKind::condensation)) {
    const auto dew = dewPointOf(temperature, humidity);
    if (dew && std::isfinite(*dew))
      return *temperature - *dew;
  }
  return std::nullopt;
}

// Whether `value` is further out than the peak: lower for the low
// temperature and the dew point margin, higher otherwise.
bool beyond(const std::string &kind, double value, double peak)
{
  const bool lowIsWorse =
    kind == nameOf(AlarmKind::temperatureLow) || kind == nameOf(AlarmKind::condensation);
  return lowIsWorse ? value < peak : value > peak;
}

void trackPeak(Episode &episode, const std::optional<double> &value, double now)
{
  if (!value || !std::isfinite(*value))
    return;
  if (!episode.peakValue || beyond(episode.kind, *value, *episode.peakValue)) {
    episode.peakValue = *value;
    episode.peakAt = now;
  }
}

// The monitor's rule: back inside the limit by at least the hysteresis.
bool backWithin(const std::string &kind, double value, const HousingLimits &limits)
{
  const double h = limits.hysteresis;
  if (kind == nameOf(AlarmKind::temperatureHigh))
    return limits.highTemperature && value <= *limits.highTemperature - h;
  if (kind == nameOf(AlarmKind::temperatureLow))
    return limits.lowTemperature && value >= *limits.lowTemperature + h;
  if (kind == nameOf(AlarmKind::humidityHigh))
    return limits.highHumidity && value <= *limits.highHumidity - h;
  if (kind == nameOf(AlarmKind::condensation))
    return limits.dewPointMargin && value >= *limits.dewPointMargin + h;
  return false;
}

} // namespace

const char *resultName(ActionResult result)
{
  // In the order of ActionResult.
  static constexpr const char *names[] = { "ok",          "unchanged",     "comment too long",
                                           "bad minutes", "not shelvable", "not shelved",
                                           "not held" };
  const auto i = static_cast<std::size_t>(result);
  return i < std::size(names) ? names[i] : "not held";
}

ActionResult acknowledge(Episode &episode, const OperatorAction &by, Changes &changes)
{
  if (commentTooLong(by))
    return ActionResult::commentTooLong;
  if (episode.acknowledged)
    return ActionResult::unchanged;
  episode.acknowledged = by;
  audit(changes, episode, "acknowledge", by);
  return ActionResult::ok;
}

ActionResult shelve(Episode &episode, const OperatorAction &by, int minutes, int maxMinutes, Changes &changes)
{
  if (commentTooLong(by))
    return ActionResult::commentTooLong;
  if (minutes < 1 || minutes > maxMinutes)
    return ActionResult::badMinutes;
  if (!episode.active() && !episode.latched())
    return ActionResult::notShelvable;
  const double until = by.at + 60.0 * minutes;
  episode.shelved = archive::Shelving{ by, until };
  audit(changes, episode, "shelve", by, until);
  return ActionResult::ok;
}

ActionResult unshelve(Episode &episode, const OperatorAction &by, Changes &changes)
{
  if (commentTooLong(by))
    return ActionResult::commentTooLong;
  if (!episode.shelved)
    return ActionResult::notShelved;
  episode.shelved.reset();
  audit(changes, episode, "unshelve", by);
  return ActionResult::ok;
}

ActionResult apply(Episode &episode, const OperatorRequest &request, int maxMinutes, Changes &changes)
{
  switch (request.what) {
    case OperatorRequest::What::acknowledge:
      return acknowledge(episode, request.action, changes);
    case OperatorRequest::What::shelve:
      return shelve(episode, request.action, request.minutes, maxMinutes, changes);
    case OperatorRequest::What::unshelve:
      break;
  }
  return unshelve(episode, request.action, changes);
}

bool isCurrent(const Episode &episode)
{
  return episode.active() || episode.latched() || episode.shelved.has_value();
}

AlarmBook::AlarmBook(int maxShelveMinutes)
  : maxShelveMinutes_(maxShelveMinutes)
{
}

void AlarmBook::restore(std::vector<Episode> current, std::int64_t nextId)
{
  held_.clear();
  nextId_ = std::max<std::int64_t>(nextId, 1);
  for (Episode &e : current) {
    nextId_ = std::max(nextId_, e.id + 1);
    if (isCurrent(e))
      held_[e.id] = std::move(e);
  }
  settle();
}

void AlarmBook::setLimits(const LimitsSet &limits)
{
  limits_ = limits;
}

Episode *AlarmBook::activeOf(AlarmKind kind, const std::optional<int> &housing, const std::string &source)
{
  const std::string name = nameOf(kind);
  for (auto &[id, e] : held_)
    if (e.active() && e.kind == name && e.housing == housing && e.source == source)
      return &e;
  return nullptr;
}

Episode &AlarmBook::open(AlarmKind kind,
                         const std::optional<int> &housing,
                         const std::string &source,
                         const std::string &text,
                         double now,
                         Changes &changes)
{
  Episode e;
  e.id = nextId_++;
  e.housing = housing;
  e.kind = nameOf(kind);
  e.source = source;
  e.severity = critical(kind) ? "critical" : "warning";
  e.text = text;
  e.opened = now;
  e.lastTrip = now;
  e.latching = latches(kind);
  Episode &held = held_[e.id] = std::move(e);
  note(changes, held);
  return held;
}

void AlarmBook::clear(Episode &episode, const std::string &why, double now, Changes &changes)
{
  episode.cleared = now;
  episode.clearedWhy = why;
  note(changes, episode);
}

void AlarmBook::trip(const alarmtext::Recognised &message,
                     const std::string &text,
                     double now,
                     Changes &changes)
{
  if (Episode *e = activeOf(message.kind, message.housing, message.source)) {
    ++e->trips;
    e->lastTrip = now;
    e->text = text;
    trackPeak(*e, message.value, now);
    note(changes, *e);
    return;
  }
  Episode &e = open(message.kind, message.housing, message.source, text, now, changes);
  trackPeak(e, message.value, now);
  if (message.kind == AlarmKind::other)
    clear(e, "one-shot", now, changes);
  note(changes, e);
}

Changes AlarmBook::onMessage(const alarmtext::Recognised &message, const std::string &text, double now)
{
  Changes changes;
  // What the message ends: the alarm its notice is about, the opposite
  // temperature alarm, or (at a start) everything the monitor raised.
  for (auto &[id, e] : held_) {
    if (!e.active())
      continue;
    const std::optional<AlarmKind> kind = alarmtext::parseKind(e.kind);
    if (kind && alarmtext::ends(message, *kind, e.housing, e.source))
      clear(e, message.effect == Effect::monitorStarted ? "monitor restarted" : text, now, changes);
  }
  if (message.effect == Effect::trips)
    trip(message, text, now, changes);
  settle();
  return changes;
}

void AlarmBook::trackLimits(const wire::HousekeepingRecord &record, double now, Changes &changes)
{
  const auto temperature = wire::reading(record.temperature);
  const auto humidity = wire::reading(record.humidity);
  const HousingLimits *limits = nullptr;
  if (limits_ && record.housing >= 0 && record.housing < static_cast<int>(limits_->size()))
    limits = &(*limits_)[static_cast<std::size_t>(record.housing)];
  for (auto &[id, e] : held_) {
    if (!e.active() || e.housing != record.housing)
      continue;
    const auto value = limitValue(e.kind, temperature, humidity);
    if (!value)
      continue;
    const auto peak = e.peakValue;
    trackPeak(e, value, now);
    if (limits && backWithin(e.kind, *value, *limits))
      clear(e, "records back within limits", now, changes);
    else if (e.peakValue != peak)
      note(changes, e);
  }
}

Changes AlarmBook::onHousekeeping(const wire::HousekeepingRecord &record, double now)
{
  Changes changes;
  if (!record.water)
    for (auto &[id, e] : held_)
      if (e.active() && e.housing == record.housing && e.kind == nameOf(AlarmKind::water))
        clear(e, "dry", now, changes);
  trackLimits(record, now, changes);
  if (Episode *e = activeOf(AlarmKind::monitorSilent, std::nullopt, ""))
    clear(*e, "records again", now, changes);
  settle();
  return changes;
}

void AlarmBook::tickOwn(AlarmKind kind, bool raised, const std::string &why, double now, Changes &changes)
{
  Episode *e = activeOf(kind, std::nullopt, "");
  if (raised && !e)
    open(kind, std::nullopt, "", why, now, changes);
  else if (!raised && e)
    clear(*e, why, now, changes);
}

Changes AlarmBook::onTick(double now, const Facts &facts)
{
  Changes changes;
  const OperatorAction expiry{ "tmx-web", "", now, "expired" };
  for (auto &[id, e] : held_)
    if (e.shelved && e.shelved->until <= now)
      unshelve(e, expiry, changes);

  // Both wait staleSeconds after the start, so that starting raises neither.
  const double lastRecord = facts.lastRecord.value_or(facts.started);
  const bool silent = now - lastRecord >= staleSeconds;
  tickOwn(AlarmKind::monitorSilent,
          silent,
          silent
            ? "No housekeeping record for " + std::to_string(static_cast<long long>(now - lastRecord)) + " s"
            : "records again",
          now,
          changes);
  const bool unsubscribed = !facts.subscribed && now - facts.started >= staleSeconds;
  tickOwn(AlarmKind::notifier,
          unsubscribed,
          unsubscribed ? "Not subscribed to the notifier" : "subscribed",
          now,
          changes);
  settle();
  return changes;
}

ActionResult AlarmBook::act(std::int64_t id, const OperatorRequest &request, Changes &changes)
{
  const auto it = held_.find(id);
  if (it == held_.end())
    return ActionResult::notHeld;
  const ActionResult result = apply(it->second, request, maxShelveMinutes_, changes);
  settle();
  return result;
}

void AlarmBook::replace(const Episode &episode)
{
  const auto it = held_.find(episode.id);
  if (it == held_.end())
    return;
  it->second = episode;
  settle();
}

void AlarmBook::settle()
{
  for (auto it = held_.begin(); it != held_.end();)
    it = isCurrent(it->second) ? std::next(it) : held_.erase(it);

  // Beyond the bound (alarms of ever new sources), the oldest episode that
  // is over goes first (latched or shelved after clearing: the archive
  // still has it), then the oldest active one; the book then forgets it.
  while (held_.size() > maxEpisodes) {
    auto drop = held_.end();
    for (auto it = held_.begin(); it != held_.end(); ++it) {
      const auto key = [](const Episode &e) { return std::make_tuple(e.active(), e.opened, e.id); };
      if (drop == held_.end() || key(it->second) < key(drop->second))
        drop = it;
    }
    held_.erase(drop);
  }
}

std::vector<Episode> AlarmBook::current() const
{
  std::vector<Episode> out;
  out.reserve(held_.size());
  for (const auto &[id, e] : held_)
    out.push_back(e);
  std::sort(out.begin(), out.end(), [](const Episode &a, const Episode &b) {
    return std::tie(a.opened, a.id) > std::tie(b.opened, b.id);
  });
  return out;
}

std::optional<Episode> AlarmBook::find(std::int64_t id) const
{
  const auto it = held_.find(id);
  if (it == held_.end())
    return std::nullopt;
  return it->second;
}

std::vector<AlarmBook::Count> AlarmBook::counts() const
{
  std::map<std::tuple<std::optional<int>, std::string, std::string>, Count> by;
  for (const auto &[id, e] : held_) {
    Count &c = by[{ e.housing, e.kind, e.severity }];
    c.housing = e.housing;
    c.kind = e.kind;
    c.severity = e.severity;
    c.active += e.active() ? 1 : 0;
    c.unacknowledged += e.acknowledged ? 0 : 1;
    c.shelved += e.shelved ? 1 : 0;
  }
  std::vector<Count> out;
  for (auto &[key, c] : by)
    out.push_back(std::move(c));
  return out;
}

} // namespace tmx::web
