#include "web/AlertClient.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace tmx::web {

namespace {

std::string withoutSlash(std::string url)
{
  while (!url.empty() && url.back() == '/')
    url.pop_back();
  return url;
}

// A silence as it should be, give or take a second of its end.
bool same(const Silence &made, const Silence &wanted)
{
  return made.createdBy == wanted.createdBy && made.comment == wanted.comment &&
         std::fabs(made.endsAt - wanted.endsAt) < 1.0;
}

std::string describe(const HttpExchange &a)
{
  if (!a.error.empty())
    return a.error;
  std::string body = a.body.substr(0, 200);
  while (!body.empty() && (body.back() == '\n' || body.back() == ' '))
    body.pop_back();
  return "HTTP " + std::to_string(a.status) + (body.empty() ? "" : ": " + body);
}

} // namespace

AlertClient::AlertClient(AlertSettings settings, AlertSender &sender, Report report, Outcome outcome)
  : settings_(std::move(settings))
  , sender_(sender)
  , report_(std::move(report))
  , outcome_(std::move(outcome))
{
  for (const std::string &url : settings_.urls) {
    Target t;
    t.url = withoutSlash(url);
    targets_.push_back(std::move(t));
  }
}

void AlertClient::round(const std::vector<archive::Episode> &current, double now)
{
  std::map<std::string, Alert> firing;
  std::map<std::int64_t, Silence> silences;
  for (const archive::Episode &e : current) {
    for (Alert &a : alertsOf(e, settings_, now))
      firing.emplace(a.key(), std::move(a));
    if (std::optional<Silence> s = silenceOf(e, settings_, now))
      silences.emplace(e.id, std::move(*s));
  }
  for (Target &t : targets_)
    roundOf(t, firing, silences, now);
}

void AlertClient::roundOf(Target &t,
                          const std::map<std::string, Alert> &firing,
                          const std::map<std::int64_t, Silence> &wanted,
                          double now)
{
  // What was posted and no longer fires is resolved, whenever this
  // Alertmanager is next reached; what fires again is no longer resolved.
  for (auto it = t.firing.begin(); it != t.firing.end();) {
    if (firing.count(it->first)) {
      ++it;
      continue;
    }
    Alert resolved = std::move(it->second);
    resolved.endsAt = now;
    t.resolutions.push_back(std::move(resolved));
    it = t.firing.erase(it);
  }
  t.resolutions.erase(std::remove_if(t.resolutions.begin(),
                                     t.resolutions.end(),
                                     [&](const Alert &a) { return firing.count(a.key()) > 0; }),
                      t.resolutions.end());
  while (t.resolutions.size() > maxUnsentResolutions)
    t.resolutions.pop_front();

  if (now < t.retryAt)
    return;
  if (!t.silencesKnown && !loadSilences(t, wanted, now))
    return;

  // Silences no longer wanted (or not as wanted) go first: an alert is
  // resolved only once its silence is over.
  for (auto it = t.silences.begin(); it != t.silences.end();) {
    const auto w = wanted.find(it->first);
    if (w != wanted.end() && same(it->second, w->second)) {
      ++it;
      continue;
    }
    if (!exchange(t, "DELETE", "/api/v2/silence/" + it->second.id, "", now))
      return;
    it = t.silences.erase(it);
  }
  for (const auto &[episode, silence] : wanted) {
    if (t.silences.count(episode))
      continue;
    HttpExchange answer;
    if (!exchange(t, "POST", "/api/v2/silences", silenceBody(silence), now, &answer))
      return;
    Silence made = silence;
    made.id = silenceIdOf(answer.body).value_or("");
    if (!made.id.empty())
      t.silences.emplace(episode, std::move(made));
  }

  const bool changed = !std::equal(
    firing.begin(), firing.end(), t.firing.begin(), t.firing.end(), [](const auto &a, const auto &b) {
      return a.first == b.first && a.second.sameAs(b.second);
    });
  if (!changed && t.resolutions.empty() && now < t.lastPost + settings_.interval)
    return;
  if (firing.empty() && t.resolutions.empty() && t.firing.empty() && t.up)
    return; // nothing to say
  std::vector<Alert> body;
  for (const auto &[key, alert] : firing)
    body.push_back(alert);
  body.insert(body.end(), t.resolutions.begin(), t.resolutions.end());
  if (!exchange(t, "POST", "/api/v2/alerts", alertsBody(body), now))
    return;
  t.firing = firing;
  t.resolutions.clear();
  t.lastPost = now;
}

bool AlertClient::loadSilences(Target &t, const std::map<std::int64_t, Silence> &wanted, double now)
{
  HttpExchange answer;
  if (!exchange(t, "GET", "/api/v2/silences", "", now, &answer))
    return false;
  std::optional<std::vector<Silence>> listed = parseSilences(answer.body);
  if (!listed) {
    report_("Alertmanager " + t.url + ": the silences listed cannot be read; making them again");
    listed.emplace();
  }
  t.silences.clear();
  for (Silence &s : *listed) {
    if (s.state == "expired")
      continue;
    const std::optional<std::int64_t> episode = episodeOfSilence(s, settings_);
    if (!episode || t.silences.count(*episode))
      continue;
    const auto w = wanted.find(*episode);
    if (w != wanted.end() && same(s, w->second))
      t.silences.emplace(*episode, std::move(s));
  }
  t.silencesKnown = true;
  return true;
}

bool AlertClient::exchange(Target &t,
                           const char *method,
                           const std::string &path,
                           const std::string &body,
                           double now,
                           HttpExchange *answer)
{
  HttpExchange a = sender_.send(method, t.url + path, body);
  // A silence gone already (expired, or Alertmanager lost it) is as good
  // as expired.
  const bool gone = std::string(method) == "DELETE" && a.error.empty() &&
                    (a.status == 404 || a.body.find("already expired") != std::string::npos);
  const bool ok = a.ok() || gone;
  if (outcome_)
    outcome_(t.url, ok);
  if (ok) {
    if (t.up == false)
      report_("Alertmanager " + t.url + " answers again");
    t.up = true;
    t.backoff = firstRetry;
    t.retryAt = 0;
  } else {
    if (t.up != false)
      report_("Alertmanager " + t.url + " failed (" + std::string(method) + " " + path + ": " + describe(a) +
              "); trying again, every 30 s at most");
    t.up = false;
    t.retryAt = now + t.backoff;
    t.backoff = std::min(lastRetry, t.backoff * 2);
    // It may have restarted without its silences, and has missed postings.
    t.silencesKnown = false;
    t.lastPost = -std::numeric_limits<double>::infinity();
  }
  if (answer)
    *answer = std::move(a);
  return ok;
}

std::optional<bool> AlertClient::up(const std::string &url) const
{
  const Target *t = find(url);
  return t ? t->up : std::nullopt;
}

std::size_t AlertClient::unsentResolutions(const std::string &url) const
{
  const Target *t = find(url);
  return t ? t->resolutions.size() : 0;
}

const AlertClient::Target *AlertClient::find(const std::string &url) const
{
  const std::string u = withoutSlash(url);
  for (const Target &t : targets_)
    if (t.url == u)
      return &t;
  return nullptr;
}

} // namespace tmx::web
